// A small tolerant JSON reader for the JSON-LD blocks of pages: bounded in depth and size, it
// never throws and never recurses without a limit.

#include "engine/pages/PageMediaParts.h"

namespace cw::pagemedia {

namespace {

// ---------------------------------------------------------------------------------------------
// JSON: a small tolerant reader into a flat node list. A block that breaks off (truncated,
// malformed, too deep, too large) keeps everything read before the break.

class JsonReader {
public:
    JsonReader(string_view s, std::vector<JNode>& nodes) : S(s), Nodes(nodes) {}

    int Read()
    {
        SkipBlanks();
        // Data blocks are sometimes wrapped for old browsers: <!-- ... --> or a CDATA comment.
        for (string_view lead : {string_view("<!--"), string_view("//<![CDATA["), string_view("/*<![CDATA[*/")}) {
            if (S.substr(P, lead.size()) == lead) {
                P += lead.size();
                SkipBlanks();
            }
        }
        return Value(0);
    }

private:
    string_view S;
    std::size_t P = 0;
    bool Broken = false;
    std::vector<JNode>& Nodes;

    void SkipBlanks()
    {
        while (P < S.size() && IsBlank(S[P]))
            ++P;
    }

    int Add(JNode::Kind k)
    {
        Nodes.emplace_back();
        Nodes.back().K = k;
        return static_cast<int>(Nodes.size() - 1);
    }

    void Link(int parent, int child)
    {
        if (Nodes[parent].Last < 0)
            Nodes[parent].First = child;
        else
            Nodes[Nodes[parent].Last].Next = child;
        Nodes[parent].Last = child;
    }

    bool ReadString(std::string& out)
    {
        ++P; // the opening quote
        while (P < S.size()) {
            const char c = S[P++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (P >= S.size())
                break;
            const char e = S[P++];
            switch (e) {
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::uint32_t cp = 0;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && S.substr(P, 2) == "\\u") {
                    std::size_t keep = P;
                    P += 2;
                    std::uint32_t low = 0;
                    if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        P = keep;
                }
                AppendUtf8(out, (cp >= 0xD800 && cp <= 0xDFFF) ? 0xFFFD : cp);
                break;
            }
            default:
                out += e; // \" \\ \/ and, leniently, any other escaped byte as itself
            }
        }
        return false;
    }

    bool Hex4(std::uint32_t& cp)
    {
        if (S.size() - P < 4)
            return false;
        for (int k = 0; k < 4; ++k) {
            int d = text::HexDigitValue(S[P + k]);
            if (d < 0)
                return false;
            cp = cp * 16 + static_cast<std::uint32_t>(d);
        }
        P += 4;
        return true;
    }

    // One value at P; -1 when none could be read. Containers stay in the list even when their
    // reading broke off inside them.
    int Value(int depth)
    {
        SkipBlanks();
        if (P >= S.size() || depth > kMaxJsonDepth || Nodes.size() >= kMaxJsonNodes) {
            Broken = true;
            return -1;
        }
        const char c = S[P];
        if (c == '{' || c == '[')
            return Container(c == '{', depth);
        if (c == '"')
            return StringValue();
        return Word();
    }

    // An object or an array at P, its members read until its end or a break.
    int Container(bool object, int depth)
    {
        const int node = Add(object ? JNode::Object : JNode::Array);
        ++P;
        while (!Broken) {
            SkipBlanks();
            if (P >= S.size()) {
                Broken = true;
                break;
            }
            if (S[P] == (object ? '}' : ']')) {
                ++P;
                break;
            }
            if (S[P] == ',') { // stray and trailing commas are forgiven
                ++P;
                continue;
            }
            std::string key;
            if (object && !MemberKey(key))
                break;
            const int child = Value(depth + 1);
            if (child < 0)
                break;
            Nodes[child].Key = std::move(key);
            Link(node, child);
        }
        return node;
    }

    // A member's name and the colon after it; false (and the block broken) without them.
    bool MemberKey(std::string& key)
    {
        if (S[P] != '"' || !ReadString(key)) {
            Broken = true;
            return false;
        }
        SkipBlanks();
        if (P >= S.size() || S[P] != ':') {
            Broken = true;
            return false;
        }
        ++P;
        return true;
    }

    int StringValue()
    {
        std::string value;
        if (!ReadString(value)) {
            Broken = true;
            return -1;
        }
        const int node = Add(JNode::String);
        Nodes[node].Text = std::move(value);
        return node;
    }

    // A number or a literal, kept as written; anything else breaks the block.
    int Word()
    {
        const std::size_t start = P;
        while (P < S.size() && (IsAlpha(S[P]) || IsDigit(S[P]) || S[P] == '-' || S[P] == '+' || S[P] == '.'))
            ++P;
        const string_view word = S.substr(start, P - start);
        if (word.empty()) {
            Broken = true;
            return -1;
        }
        const int node = Add(IsDigit(word[0]) || word[0] == '-'    ? JNode::Number
                             : (word == "true" || word == "false") ? JNode::Bool
                                                                   : JNode::Null);
        Nodes[node].Text = word;
        return node;
    }
};

} // namespace

int ReadJson(string_view text, std::vector<JNode>& nodes)
{
    return JsonReader(text, nodes).Read();
}

} // namespace cw::pagemedia
