// The download window's panels with the fonts of this system: every caption and the longest
// value a transfer or a conversion can put beside it are shown in full, inside their panel,
// without running into each other. Texts that carry a hint (the file names) are left out: the
// hint shows them whole.

#include "DownloadWindowSupport.h"
#include "engine/DownloadText.h"

#include <QLabel>
#include <QString>
#include <cstdint>
#include <limits>

namespace {

int Needed(const QLabel* label, const std::string& text)
{
    return label->fontMetrics().horizontalAdvance(QString::fromStdString(text));
}

// The label shows text on one line without cutting it, and lies wholly inside its parent.
void ExpectShownInFull(dltest::WindowRun& run, const char* name, const std::string& text)
{
    auto* label = run.Child<QLabel>(name);
    ASSERT_NE(nullptr, label) << name;
    EXPECT_LE(Needed(label, text), label->contentsRect().width())
        << name << " cannot show \"" << text << "\" (" << Needed(label, text) << " pixels needed, "
        << label->contentsRect().width() << " available)";
    EXPECT_TRUE(label->parentWidget()->rect().contains(label->geometry())) << name << " reaches outside its panel";
}

// The caption's text ends before the value beside it starts.
void ExpectCaptionClearOfValue(dltest::WindowRun& run, const char* caption, const char* value)
{
    auto* c = run.Child<QLabel>(caption);
    auto* v = run.Child<QLabel>(value);
    ASSERT_NE(nullptr, c);
    ASSERT_NE(nullptr, v);
    EXPECT_LT(c->x() + Needed(c, c->text().toStdString()), v->x()) << caption << " runs into " << value;
}

class PanelLayout : public ::testing::Test {
protected:
    void SetUp() override { dltest::UseProductTitle(); }
    dltest::TestRunOwner Owner;
};

TEST_F(PanelLayout, TransferDetailsShowTheirLongestValues)
{
    dltest::WindowRun run({"http://www.youtube.com/watch?v=x"}, cw::jmDownload, Owner);
    const std::int64_t largest = std::numeric_limits<std::int32_t>::max();
    ExpectShownInFull(run, "Label2", "Download Size: ");
    ExpectShownInFull(run, "Label3", "Estimating time remaining: ");
    ExpectShownInFull(run, "Label4", "Download Speed\xEF\xBC\x9A");
    ExpectShownInFull(run, "lReceiveData", cw::ReceivedText(largest, cw::KilobytesText(largest)));
    ExpectShownInFull(run, "lEstimateTime", cw::ClockText(99 * 3600 + 59 * 60 + 59));
    // A transfer from the local network can pass a gigabyte a second.
    ExpectShownInFull(run, "lReceiveSpeed", cw::SpeedText(1048576.0, '.'));
    ExpectCaptionClearOfValue(run, "Label2", "lReceiveData");
    ExpectCaptionClearOfValue(run, "Label3", "lEstimateTime");
    ExpectCaptionClearOfValue(run, "Label4", "lReceiveSpeed");
}

TEST_F(PanelLayout, ConversionTimesShowTheirLongestValues)
{
    dltest::WindowRun run({"/tmp/clip.flv"}, cw::jmConvert, Owner);
    ExpectShownInFull(run, "Label5", "Time elapsed: ");
    ExpectShownInFull(run, "Label6", "Time estimated: ");
    // Past 99 minutes the minutes take three digits.
    ExpectShownInFull(run, "lTimeElapsed", "100:05");
    ExpectShownInFull(run, "lTimeEstimated", "100:05");
    ExpectCaptionClearOfValue(run, "Label5", "lTimeElapsed");
    ExpectCaptionClearOfValue(run, "Label6", "lTimeEstimated");
}

} // namespace
