#pragma once
// The names a run saves under. Two items never share a file: a name taken by another address
// (in this run, or by a file that records another origin) gets a number, "clip (2).mp4"; a
// finished file that records the item's own address is the item's, and the item is skipped.
// A file of unknown origin (no attribute: saved by hand, by an older version, or on a file system
// that keeps none) is the user's to decide, through the overwrite question.

#include <map>
#include <string>

namespace cw {

// The names of one run and the addresses that hold them; shared by every engine of the run, so
// items running at once choose apart.
class TNameClaims {
public:
    struct THolder {
        std::string Origin; // OriginAddress of the item's address
        int Item = 0;       // which item (NewItem): a stage that starts again keeps its own name
    };
    // Who holds path in this run; nullptr when nobody does.
    const THolder* Holder(const std::string& path) const;
    void Claim(const std::string& path, const THolder& holder);
    // A number for an item about to choose its name; never given twice in a run.
    int NewItem() { return ++FLastItem; }

private:
    int FLastItem = 0;
    std::map<std::string, THolder> FHolders;
};

enum class TOutputKind {
    Free,      // nobody's: save under it (a .part there is continued)
    Saved,     // a finished file from this very address: nothing to do
    Duplicate, // another item of this run saves this address already
    Unknown,   // a finished file that says nothing of its origin: ask
};

struct TOutputChoice {
    TOutputKind Kind = TOutputKind::Free;
    std::string Path;
};

// The file an item (its number from NewItem) from address saves under,
// starting from the wanted path; the path is claimed for the item unless it is to be skipped.
TOutputChoice ChooseOutputPath(const std::string& wanted, const std::string& address, int item, TNameClaims& claims);

// The file a conversion of source writes, starting from wanted (the conversion's name for the
// item): chosen and claimed as ChooseOutputPath does, and never the source itself, whatever path
// names it (a preset that writes the source's own kind takes a numbered name).
TOutputChoice ChooseConvertedPath(const std::string& wanted, const std::string& source, const std::string& address,
                                  int item, TNameClaims& claims);

// A finished file numbered from wanted, other than notThis, that records address as its origin:
// what an earlier run made of the item; "" when there is none. Nothing is claimed.
std::string SavedFrom(const std::string& wanted, const std::string& address, const std::string& notThis,
                      const TNameClaims& claims);

// "dir/clip.mp4", 3 → "dir/clip (3).mp4"; 1 gives the path itself.
std::string NumberedPath(const std::string& path, int n);

// The address as a file records its origin: without user name and password.
std::string OriginAddress(const std::string& address);

// A file name from a name template: {title} is the name the page gave (without its extension),
// {ext} the extension of what is saved (without its dot), {site} the site ("youtube",
// "metacafe", "google", else the host without "www."), {id} the video's id on its site (else
// the last segment of the address without its extension, else the host). The result is cleaned
// like any name. fileName is the name the run would save under without a template.
std::string NameFromTemplate(const std::string& nameTemplate, const std::string& fileName, const std::string& address);

// Records where a finished file came from; a file system without extended attributes keeps
// nothing, and that is no failure.
void RecordOrigin(const std::string& path, const std::string& address);

} // namespace cw
