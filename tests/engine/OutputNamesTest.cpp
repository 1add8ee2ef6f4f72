// How a run names its files: templates, numbers for taken names, and what a file's recorded
// origin decides, on real files in a real folder.

#include "engine/OutputNames.h"
#include "platform/Files.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

using namespace cw;

TEST(OutputNames, TemplatesFillTheirFieldsAndStayOneCleanName)
{
    const struct {
        const char* Template;
        const char* FileName;
        const char* Address;
        const char* Expected;
    } cases[] = {
        {"{title}.{ext}", "Evening News.mp4", "https://news.example.org/watch/evening", "Evening News.mp4"},
        {"{site}-{id}.{ext}", "Clip.flv", "http://www.youtube.com/watch?feature=x&v=AbC-12_x", "youtube-AbC-12_x.flv"},
        {"{site}-{id}.{ext}", "Clip.flv", "http://video.google.com/videoplay?docid=-8231&hl=en", "google--8231.flv"},
        {"{id} {title}.{ext}", "Cats.flv", "http://www.metacafe.com/watch/1234567/cats/", "1234567 Cats.flv"},
        {"{site} {id}.{ext}", "x.webm", "https://www.Example.org:8443/media/clip.webm?sig=1", "example.org clip.webm"},
        {"{site} {id}.{ext}", "x.mp4", "https://cdn.example.org/", "cdn.example.org cdn.example.org.mp4"},
        // A title's separators and a template's own text are cleaned alike; no dangling dot.
        {"{title}: {id}.{ext}", "a/b.mp4", "https://e.example/v/7.mp4", "a-b - 7.mp4"},
        {"{title}.{ext}", "GoogleVideo17", "http://video.google.com/videoplay?docid=17", "GoogleVideo17"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NameFromTemplate(c.Template, c.FileName, c.Address), c.Expected) << c.Template << " " << c.Address;

    EXPECT_EQ(NumberedPath("/out/clip.mp4", 1), "/out/clip.mp4");
    EXPECT_EQ(NumberedPath("/out/clip.mp4", 2), "/out/clip (2).mp4");
    EXPECT_EQ(NumberedPath("/out.d/GoogleVideo17", 3), "/out.d/GoogleVideo17 (3)");
    EXPECT_EQ(OriginAddress("http://user:pw@host:81/a?b#c"), "http://host:81/a?b#c");
    EXPECT_EQ(OriginAddress("https://host/a@b"), "https://host/a@b");
}

// Who holds a name: the run's own claims first (items at once), then what the file records.
TEST(OutputNames, ANameIsTheItemsOwnAnotherAddressesOrTheUsers)
{
    cwtest::TempDir dir("cw-names");
    const std::string wanted = dir.Path() + "/clip.mp4";
    const std::string a = "http://a.example/clip.mp4";
    const std::string b = "http://user:pw@b.example/clip.mp4";
    TNameClaims claims;
    const int itemA = claims.NewItem();
    const int itemB = claims.NewItem();
    const int itemA2 = claims.NewItem();

    EXPECT_EQ(ChooseOutputPath(wanted, a, itemA, claims).Path, wanted);
    EXPECT_EQ(ChooseOutputPath(wanted, a, itemA, claims).Kind, TOutputKind::Free) << "a stage that starts again";
    const TOutputChoice second = ChooseOutputPath(wanted, b, itemB, claims);
    EXPECT_EQ(second.Kind, TOutputKind::Free);
    EXPECT_EQ(second.Path, dir.Path() + "/clip (2).mp4");
    EXPECT_EQ(ChooseOutputPath(wanted, a, itemA2, claims).Kind, TOutputKind::Duplicate);

    // A later run: the files record their addresses (the password never).
    std::ofstream(wanted) << "a";
    std::ofstream(second.Path) << "b";
    RecordOrigin(wanted, a);
    RecordOrigin(second.Path, b);
    ASSERT_EQ(FileOrigin(second.Path), "http://b.example/clip.mp4");
    TNameClaims later;
    const TOutputChoice again = ChooseOutputPath(wanted, b, later.NewItem(), later);
    EXPECT_EQ(again.Kind, TOutputKind::Saved);
    EXPECT_EQ(again.Path, second.Path);
    const TOutputChoice third = ChooseOutputPath(wanted, "http://c.example/clip.mp4", later.NewItem(), later);
    EXPECT_EQ(third.Kind, TOutputKind::Free);
    EXPECT_EQ(third.Path, dir.Path() + "/clip (3).mp4");

    // A file that records nothing is the user's to decide about.
    const std::string own = dir.Path() + "/own.mp4";
    std::ofstream(own) << "mine";
    EXPECT_EQ(ChooseOutputPath(own, a, later.NewItem(), later).Kind, TOutputKind::Unknown);
}

// A conversion's name: never its source, whatever path names the source, and what an earlier
// run converted is found by the address it records, the item's own video excepted.
TEST(OutputNames, AConversionNeverTakesItsSourceAndItsOutputAnswersForItsAddress)
{
    cwtest::TempDir dir("cw-names");
    const std::string clip = dir.Path() + "/clip.mp4";
    const std::string link = dir.Path() + "/link.mp4";
    const std::string a = "http://a.example/clip";
    std::ofstream(clip) << "video";
    ASSERT_EQ(0, ::symlink(clip.c_str(), link.c_str()));
    TNameClaims claims;
    const int item = claims.NewItem();
    ASSERT_EQ(ChooseOutputPath(clip, a, item, claims).Path, clip) << "the item's own video";
    for (const std::string& source : {clip, link, dir.Path() + "/./clip.mp4"}) {
        const TOutputChoice out = ChooseConvertedPath(clip, source, a, item, claims);
        EXPECT_EQ(out.Kind, TOutputKind::Free) << source;
        EXPECT_EQ(out.Path, dir.Path() + "/clip (2).mp4") << source;
    }

    // A later run: the video and its conversion both record the address.
    RecordOrigin(clip, a);
    EXPECT_EQ(SavedFrom(clip, a, clip, claims), "") << "the video is not its own conversion";
    std::ofstream(dir.Path() + "/clip (2).mp4") << "converted";
    RecordOrigin(dir.Path() + "/clip (2).mp4", a);
    TNameClaims later;
    EXPECT_EQ(SavedFrom(clip, a, clip, later), dir.Path() + "/clip (2).mp4");
    EXPECT_EQ(SavedFrom(clip, "http://b.example/clip", clip, later), "");
    EXPECT_EQ(later.Holder(dir.Path() + "/clip (3).mp4"), nullptr) << "looking claims nothing";
}
