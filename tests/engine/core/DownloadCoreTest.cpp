// The download core against servers that misbehave the way real ones do, each a whole run of the
// engine on a direct file address: an outage that one connection survives, a range that goes
// silent, answers cut after every few kilobytes, a strict server's 416 for an empty file, a
// damaged .part between two runs, more ranges than any small fixed table holds, and validators
// that changed one at a time. Every case checks the file byte for byte, and what was asked and
// sent on the wire, so a connection fetching twice what it should is caught even when the file
// comes out right.

#include "engine/EngineRunSupport.h"
#include "engine/core/PartFile.h"
#include "engine/core/ResumeJournal.h"
#include "support/Files.h"
#include "support/MessageBoxRecorder.h"
#include "support/ServedFile.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

using cwtest::HttpTestConnection;
using cwtest::HttpTestRequest;
using cwtest::ServedFile;
using enginetest::EngineRun;

namespace {

class DownloadCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        cw::Application::SetTitle("Ostrelle Clipwarden");
        Owner.Folder = Dir.Path();
    }
    std::string Out(const std::string& name) const { return Dir.File(name); }

    std::shared_ptr<ServedFile> Serve(const std::string& name, std::size_t size)
    {
        auto file = std::make_shared<ServedFile>();
        file->Body = cwtest::VideoSites::FileBody(name, size);
        file->ContentType = "video/mp4";
        Server.On("/" + name, [file](const HttpTestRequest& rq, HttpTestConnection& c) { file->Answer(rq, c); });
        return file;
    }
    // The Range header of every request for name ("" none). The page engine's look at the address
    // is the transfer's first request: an answer that turns out to be the file is read on.
    std::vector<std::string> Ranges(const std::string& name)
    {
        std::vector<std::string> out;
        for (auto& rq : Server.Requests())
            if (rq.PathOnly() == "/" + name)
                out.push_back(rq.Header("Range"));
        return out;
    }
    std::unique_ptr<EngineRun> Runner(const std::string& name, int connections)
    {
        Owner.ConnectionsPerFile = connections;
        auto run = std::make_unique<EngineRun>(std::vector<std::string>{Server.Url("/" + name)}, cw::jmDownload, Owner);
        run->Engine().SetRetryDelays({100, 200, 400, 800, 1600});
        run->Engine().SetMinPiece(64 << 10);
        run->Engine().SetEndGameMs(400);
        return run;
    }

    cwtest::TempDir Dir{"cw-core"};
    cwtest::HttpTestServer Server;
    cwtest::ScopedHttpProxy Direct{""};
    cwtest::MessageBoxRecorder Boxes;
    enginetest::TestRunOwner Owner;
};

} // namespace

TEST_F(DownloadCore, MisbehavingServersStillGiveTheWholeFileOrAnHonestFailure)
{
    const struct {
        const char* Name;
        std::size_t Size;
        int Connections;
        std::function<void(ServedFile&)> Setup;
        std::string Failure; // "" = the file arrives whole
        double MaxWire;      // body bytes the server sent, at most this many times the size
        int MaxSeconds;      // the run ends well before the idle limit would end a silent range
    } cases[] = {
        // Four connections while new requests are refused for 1.5 s: each range waits out its
        // own pauses (3.1 s in all per range), so one connection's outage never fails the file.
        {"outage", 1 << 20, 4,
         [](ServedFile& f) { f.PieceBytes = 16 << 10, f.PieceMs = 5, f.OutageAt = 2, f.OutageMs = 1500; }, "", 1.05,
         20},
        // One range goes silent for good after its first bytes: a free connection fetches the rest
        // of it too, long before the 60-second idle limit.
        {"silent range", 1 << 20, 4,
         [](ServedFile& f) { f.PieceBytes = 16 << 10, f.PieceMs = 2, f.StallAt = 600000, f.StallAnswers = 1; }, "", 1.1,
         15},
        // Every answer is cut after 48 KB, validly framed or not: each try brings bytes, so the
        // tries start over and the file is never given up.
        {"cut every 48 KB", 400000, 2, [](ServedFile& f) { f.Cuts = std::vector<std::size_t>(40, 48000); }, "", 1.05,
         20},
        // An empty file from a strict server ("bytes */0"), an empty answer, a 416 that says
        // nothing: never a finished video.
        {"empty, 416", 0, 4, nullptr, "is not video: the server's file is empty", 1.0, 10},
        {"empty, 200", 0, 1, nullptr, "is not video", 1.0, 10},
        {"416 without a range", 5000, 1, [](ServedFile& f) { f.AlwaysStatus = 416; }, "the server answered 416", 0.0,
         10},
        // No ranges at all: one connection fetches the whole file, nothing twice.
        {"no ranges", 600000, 4, [](ServedFile& f) { f.IgnoreRange = true; }, "", 1.0, 10},
        // Refused for good: the item fails with the server's words after the tries.
        {"down", 300000, 4, [](ServedFile& f) { f.OutageAt = 0, f.OutageMs = 600000; },
         "the server answered 503 Service Unavailable", 0.0, 20},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string name = std::string("f") + std::to_string(&k - cases) + ".mp4";
        auto file = Serve(name, k.Size);
        if (k.Setup)
            k.Setup(*file);
        auto run = Runner(name, k.Connections);
        run->Engine().SetTransferIdleTimeout(60000);
        const std::uint32_t start = cw::GetTickCount();
        ASSERT_TRUE(run->Run(60000));
        EXPECT_LT(cw::GetTickCount() - start, static_cast<std::uint32_t>(k.MaxSeconds * 1000));
        ASSERT_EQ(1u, run->Events.Ended.size());
        std::string asked;
        for (const auto& r : Ranges(name))
            asked += "[" + r + "]";
        SCOPED_TRACE(asked);
        if (k.Failure.empty()) {
            EXPECT_EQ("done", run->Events.Ended[0]);
            EXPECT_TRUE(file->Body == cwtest::ReadFile(Out(name))) << "the file differs";
            EXPECT_FALSE(std::filesystem::exists(Out(name + ".part")));
            EXPECT_FALSE(std::filesystem::exists(Out(name + ".part.meta")));
        } else {
            EXPECT_NE(std::string::npos, run->Events.Ended[0].find(k.Failure)) << run->Events.Ended[0];
            EXPECT_FALSE(std::filesystem::exists(Out(name)));
        }
        const double wire = static_cast<double>(file->BytesSent.load());
        EXPECT_LE(wire, k.MaxWire * static_cast<double>(k.Size) + 256 * 1024) << "bytes sent: " << wire;
    }
    EXPECT_EQ(0u, Boxes.Count());
}

// Ranges asked for never reach past their piece, and a piece taken by another connection is not
// fetched by its old owner: the bytes served stay close to the file's size.
TEST_F(DownloadCore, RangesAreBoundedAndNoByteIsFetchedTwice)
{
    auto file = Serve("wire.mp4", 3 << 20);
    file->PieceBytes = 32 << 10;
    file->PieceMs = 1;
    auto run = Runner("wire.mp4", 4);
    // The end game asks for a slow piece twice by design; on a busy machine a connection can
    // stall long enough for it, and that is not what this counts.
    run->Engine().SetEndGameMs(60000);
    ASSERT_TRUE(run->Run());
    EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
    EXPECT_TRUE(file->Body == cwtest::ReadFile(Out("wire.mp4")));
    std::int64_t asked = 0;
    const auto ranges = Ranges("wire.mp4");
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ("", ranges[0]) << "the page engine's answer is read on as the first piece";
    asked += 4 * (64 << 10);
    for (const std::string& r : std::vector<std::string>(ranges.begin() + 1, ranges.end())) {
        ASSERT_EQ(0u, r.rfind("bytes=", 0)) << r;
        const std::size_t dash = r.find('-');
        const std::int64_t from = std::stoll(r.substr(6, dash - 6));
        const std::int64_t to = dash + 1 < r.size() ? std::stoll(r.substr(dash + 1)) + 1 : (3 << 20);
        EXPECT_LE(to, 3 << 20) << r;
        asked += to - from;
    }
    EXPECT_EQ(3 << 20, asked) << "the ranges asked for overlap or leave a gap";
    EXPECT_LE(file->BytesSent.load(), static_cast<std::size_t>(3 << 20) + (256 << 10));
}

// Stop with many ranges open, the .part or the journal damaged in between, the next run: the file
// comes out byte for byte, asking again only for what was lost.
TEST_F(DownloadCore, DamageBetweenTwoRunsIsFetchedAgainNeverLeftAsZeros)
{
    constexpr std::int64_t kSize = 3 << 20;
    const struct {
        const char* Name;
        int Connections;
        // Damages the files; returns how many of the bytes the journal claims are lost by it.
        std::function<std::int64_t(const std::string& part, const std::string& meta, const cw::TResumeJournal& j)>
            Damage;
    } cases[] = {
        {"many ranges", 16, nullptr},
        {"part cut to 1000 bytes", 4,
         [](const std::string& part, const std::string&, const cw::TResumeJournal&) {
             std::filesystem::resize_file(part, 1000);
             return kSize;
         }},
        // One connection: the first MiB blocks are surely finished when it stops.
        {"a finished block overwritten", 1,
         [](const std::string& part, const std::string&, const cw::TResumeJournal& j) -> std::int64_t {
             if (j.Blocks.empty() || j.Blocks[0].empty())
                 return -1;
             std::FILE* f = std::fopen(part.c_str(), "r+b");
             std::fseek(f, static_cast<long>(j.Blocks[0].begin()->first * cw::JournalBlockBytes + 100), SEEK_SET);
             std::fwrite("XXXXXXXX", 1, 8, f);
             std::fclose(f);
             return cw::JournalBlockBytes;
         }},
        // Bytes in a block that is not whole (a piece's edge) are proven by their span's hash.
        {"edge of a piece changed", 4,
         [](const std::string& part, const std::string&, const cw::TResumeJournal& j) -> std::int64_t {
             if (j.Spans.empty() || j.Spans[0].empty())
                 return -1;
             const auto& [start, span] = *j.Spans[0].begin();
             std::FILE* f = std::fopen(part.c_str(), "r+b");
             std::fseek(f, static_cast<long>((start + span.End) / 2), SEEK_SET);
             std::fwrite("\x01\x02", 1, 2, f);
             std::fclose(f);
             return span.End - start;
         }},
        {"edge zeroed", 4,
         [](const std::string& part, const std::string&, const cw::TResumeJournal& j) -> std::int64_t {
             if (j.Spans.empty() || j.Spans[0].empty())
                 return -1;
             const auto& [start, span] = *j.Spans[0].rbegin();
             std::FILE* f = std::fopen(part.c_str(), "r+b");
             std::fseek(f, static_cast<long>(start), SEEK_SET);
             const std::string zeros(static_cast<std::size_t>(std::min<std::int64_t>(span.End - start, 65536)), '\0');
             std::fwrite(zeros.data(), 1, zeros.size(), f);
             std::fclose(f);
             return span.End - start;
         }},
        {"cut and grown back to its size", 4,
         [](const std::string& part, const std::string&, const cw::TResumeJournal& j) -> std::int64_t {
             if (j.Spans.empty() || j.Spans[0].empty())
                 return -1;
             const auto size = static_cast<std::int64_t>(std::filesystem::file_size(part));
             const std::int64_t at = j.Spans[0].begin()->first + 10;
             std::filesystem::resize_file(part, static_cast<std::uintmax_t>(at));
             std::filesystem::resize_file(part, static_cast<std::uintmax_t>(size));
             return kSize - at + cw::JournalBlockBytes;
         }},
        // A link planted as the .part: nothing is written through it, the video is a file.
        {"part replaced by a link", 4,
         [](const std::string& part, const std::string&, const cw::TResumeJournal&) {
             const std::string other = part + ".elsewhere";
             std::filesystem::rename(part, other);
             std::filesystem::create_symlink(other, part);
             return kSize;
         }},
        {"journal line deleted", 4,
         [](const std::string&, const std::string& meta, const cw::TResumeJournal&) {
             std::string text = cwtest::ReadFile(meta);
             const std::size_t at = text.find("\npiece=");
             const std::size_t end = text.find('\n', at + 1);
             cwtest::WriteFile(meta, text.erase(at, end - at));
             return kSize;
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string name = std::string("d") + std::to_string(&k - cases) + ".mp4";
        auto file = Serve(name, kSize);
        file->PieceBytes = 8 << 10;
        file->PieceMs = 2;
        {
            auto run = Runner(name, k.Connections);
            run->Engine().SetMinPiece(k.Connections == 16 ? 4 << 10 : 16 << 10);
            cw::TRunEngine& engine = run->Engine();
            run->Events.OnBytes = [&engine](std::int64_t bytes) {
                if (bytes >= kSize * 5 / 6)
                    engine.Stop();
            };
            run->Run();
            ASSERT_FALSE(run->WatchdogFired);
        }
        const std::optional<cw::TResumeJournal> kept = cw::ReadJournal(Out(name + ".part.meta"));
        ASSERT_TRUE(kept.has_value());
        std::int64_t claimed = 0;
        for (const auto& p : kept->Pieces)
            claimed += p.Pos - p.Start;
        if (k.Connections == 16) {
            // Every connection's range and the halves taken from them, all kept (the journal
            // itself holds any number: see its own tests).
            EXPECT_GT(kept->Pieces.size(), 16u) << "a run of many connections leaves many ranges";
        }
        const std::int64_t lost = k.Damage ? k.Damage(Out(name + ".part"), Out(name + ".part.meta"), *kept) : 0;
        ASSERT_GE(lost, 0) << "no block was finished when the run stopped";
        {
            std::lock_guard<std::mutex> lock(file->Lock);
            file->PieceBytes = 0;
        }
        const std::size_t rangesBefore = Ranges(name).size();
        auto run = Runner(name, 4);
        run->Engine().SetEndGameMs(60000); // its second requests are not what this counts
        ASSERT_TRUE(run->Run());
        EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
        EXPECT_TRUE(file->Body == cwtest::ReadFile(Out(name))) << "the resumed file differs";
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(Out(name))));
        if (std::filesystem::exists(Out(name + ".part.elsewhere"))) {
            EXPECT_LE(std::filesystem::file_size(Out(name + ".part.elsewhere")), static_cast<std::uintmax_t>(kSize))
                << "written through the link";
        }
        // Only what was missing or lost is asked for again by range (the page engine's look at
        // the address, asked without a range, keeps at most its share of a new file).
        std::int64_t asked = 0;
        const auto ranges = Ranges(name);
        for (std::size_t i = rangesBefore; i < ranges.size(); ++i) {
            const std::string& r = ranges[i];
            if (r.empty())
                continue;
            const std::size_t dash = r.find('-');
            const std::int64_t first = std::stoll(r.substr(6, dash - 6));
            asked += (dash + 1 < r.size() ? std::stoll(r.substr(dash + 1)) + 1 : kSize) - first;
        }
        EXPECT_LE(asked, kSize - claimed + lost);
    }
}

// A file kept by one connection is continued only while every validator the first answer gave is
// the same: each one changed on its own makes the file start over.
TEST_F(DownloadCore, EachValidatorOnItsOwnDecidesWhetherAFileIsContinued)
{
    const struct {
        const char* Name;
        std::function<void(ServedFile&)> Before; // the first answer's validators
        std::function<void(ServedFile&)> Change; // what the server changed between the runs
        bool Continued;
    } cases[] = {
        {"same", [](ServedFile&) {}, [](ServedFile&) {}, true},
        {"etag", [](ServedFile&) {}, [](ServedFile& f) { f.ETag = "\"v2\""; }, false},
        {"last-modified", [](ServedFile& f) { f.ETag.clear(), f.LastModified = "Mon, 07 Dec 2026 10:00:00 GMT"; },
         [](ServedFile& f) { f.LastModified = "Tue, 08 Dec 2026 10:00:00 GMT"; }, false},
        {"size", [](ServedFile&) {}, [](ServedFile& f) { f.Body += "more"; }, false},
        // Without validators the request that continues the kept bytes asks for the last 4 KiB of
        // them again: the same bytes continue, others start over.
        {"no validators, same", [](ServedFile& f) { f.ETag.clear(); }, [](ServedFile&) {}, true},
        {"no validators, other bytes of the same size", [](ServedFile& f) { f.ETag.clear(); },
         [](ServedFile& f) { f.Body[39000] ^= 0x55; }, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string name = std::string("v") + std::to_string(&k - cases) + ".mp4";
        auto file = Serve(name, 100000);
        k.Before(*file);
        file->StallAt = 40000;
        {
            auto run = Runner(name, 1);
            cw::TRunEngine& engine = run->Engine();
            run->Events.OnBytes = [&engine](std::int64_t bytes) {
                if (bytes >= 40000)
                    engine.Stop();
            };
            run->Run();
        }
        {
            std::lock_guard<std::mutex> lock(file->Lock);
            file->StallAt = std::string::npos;
            k.Change(*file);
        }
        auto run = Runner(name, 1);
        ASSERT_TRUE(run->Run());
        EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
        EXPECT_TRUE(file->Body == cwtest::ReadFile(Out(name))) << "two versions of the file were glued";
        // Both runs' first request is the page engine's look; the second run's is dropped for
        // the kept part, which goes on with a range.
        const auto ranges = Ranges(name);
        ASSERT_GE(ranges.size(), 3u);
        std::string all;
        for (const auto& r : ranges)
            all += "[" + r + "]";
        EXPECT_EQ(file->ETag.empty() && file->LastModified.empty() ? "bytes=35904-" : "bytes=40000-", ranges[2]) << all;
        EXPECT_EQ(k.Continued ? 3u : 4u, ranges.size());
    }
}

// Two files of the same size and validators at two addresses (copies on one server): the second
// address never continues the first one's kept part under the same name.
TEST_F(DownloadCore, AKeptPartIsContinuedOnlyFromItsOwnAddress)
{
    auto a = std::make_shared<ServedFile>();
    auto b = std::make_shared<ServedFile>();
    a->Body = cwtest::VideoSites::FileBody("a", 200000);
    b->Body = cwtest::VideoSites::FileBody("b", 200000);
    a->ContentType = b->ContentType = "video/mp4";
    a->StallAt = 60000;
    Server.On("/a/clip.mp4", [a](const HttpTestRequest& rq, HttpTestConnection& c) { a->Answer(rq, c); });
    Server.On("/b/clip.mp4", [b](const HttpTestRequest& rq, HttpTestConnection& c) { b->Answer(rq, c); });
    {
        auto run = Runner("a/clip.mp4", 1);
        cw::TRunEngine& engine = run->Engine();
        run->Events.OnBytes = [&engine](std::int64_t bytes) {
            if (bytes >= 60000)
                engine.Stop();
        };
        run->Run();
    }
    ASSERT_TRUE(std::filesystem::exists(Out("clip.mp4.part")));
    auto run = Runner("b/clip.mp4", 1);
    ASSERT_TRUE(run->Run());
    EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
    EXPECT_TRUE(b->Body == cwtest::ReadFile(Out("clip.mp4"))) << "two files were glued";
}

// The end game's second connection on a silent range asks only for what the silent one has not
// brought: the file's bytes travel once, plus what the silent answer had sent.
TEST_F(DownloadCore, TheEndGameAsksOnlyForWhatIsMissing)
{
    constexpr std::size_t kSize = 2 << 20;
    constexpr std::size_t kStall = kSize - 300000; // inside the last range, well past its start
    auto file = Serve("e.mp4", kSize);
    file->StallAt = kStall;
    file->StallAnswers = 2;      // the page engine's look (cut at its share long before) and the last range
    file->PieceBytes = 16 << 10; // a host that limits every connection: the ranges are shared out
    file->PieceMs = 2;
    auto run = Runner("e.mp4", 4);
    run->Engine().SetMinPiece(256 << 10);
    ASSERT_TRUE(run->Run());
    EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
    EXPECT_TRUE(file->Body == cwtest::ReadFile(Out("e.mp4")));
    // The page engine's look at the address may bring a share of its own that is cut.
    EXPECT_LE(file->BytesSent.load(), kSize + (64u << 10) + (256u << 10));
    bool fromTheStall = false;
    std::string all;
    for (const std::string& r : Ranges("e.mp4")) {
        fromTheStall |= r.rfind("bytes=" + std::to_string(kStall) + "-", 0) == 0;
        all += "[" + r + "] ";
    }
    EXPECT_TRUE(fromTheStall) << "no request went on from where the silent range stopped: " << all;
}

// A file whose server names no version: every request that does not start the file starts 4 KiB
// before its piece, and those bytes must match the ones there (compared once they arrive). Several
// connections still share the file; a server whose file changes under the same name is caught at
// the first join and the file starts over, on one connection, as the new version alone.
TEST_F(DownloadCore, AFileWithoutValidatorsIsCheckedAtEveryJoin)
{
    auto same = Serve("nv.mp4", 3 << 20);
    same->ETag.clear();
    same->PieceBytes = 32 << 10;
    same->PieceMs = 1;
    {
        auto run = Runner("nv.mp4", 4);
        ASSERT_TRUE(run->Run());
        EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
        EXPECT_TRUE(same->Body == cwtest::ReadFile(Out("nv.mp4")));
        const auto ranges = Ranges("nv.mp4");
        ASSERT_GT(ranges.size(), 3u) << "the file went to one connection";
        // Each join costs its 4 KiB, no more (the page engine's look may bring a share of its own).
        EXPECT_LE(same->BytesSent.load(), (3u << 20) + 4096 * ranges.size() + (256u << 10));
    }
    // Version A for the first answer, version B of the same size for every later one.
    auto a = std::make_shared<ServedFile>();
    auto b = std::make_shared<ServedFile>();
    a->Body = cwtest::VideoSites::FileBody("a", 3 << 20);
    b->Body = a->Body;
    for (std::size_t at = 0; at < b->Body.size(); at += 1000)
        b->Body[at] ^= 0x5a;
    for (auto* f : {a.get(), b.get()}) {
        f->ETag.clear();
        f->ContentType = "video/mp4";
        f->PieceBytes = 32 << 10;
        f->PieceMs = 1;
    }
    auto answers = std::make_shared<std::atomic<int>>(0);
    Server.On("/chg.mp4", [a, b, answers](const HttpTestRequest& rq, HttpTestConnection& c) {
        ((*answers)++ == 0 ? a : b)->Answer(rq, c);
    });
    auto run = Runner("chg.mp4", 4);
    ASSERT_TRUE(run->Run());
    EXPECT_EQ(std::vector<std::string>{"done"}, run->Events.Ended);
    EXPECT_TRUE(b->Body == cwtest::ReadFile(Out("chg.mp4"))) << "two versions of the file were glued";
}
