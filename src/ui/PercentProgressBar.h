#pragma once
// A progress bar that writes its percentage in the middle ("42%"). Range and position are 64-bit,
// so a byte count of a file larger than 2 GB can be used directly as the position; the
// percentage is (position - minimum) * 100 / (maximum - minimum), rounded down and kept within
// 0..100 (an empty range shows 0%).

#include <QWidget>
#include <cstdint>

namespace cw {

class PercentProgressBar : public QWidget {
public:
    explicit PercentProgressBar(QWidget* parent = nullptr);

    std::int64_t Min() const { return FMin; }
    std::int64_t Max() const { return FMax; }
    std::int64_t Position() const { return FPosition; }
    void SetMin(std::int64_t value);
    void SetMax(std::int64_t value);
    void SetPosition(std::int64_t value);
    int Percent() const;
    QString Text() const;

    // QProgressBar-style names, so the bar can stand where one was designed.
    int value() const { return static_cast<int>(FPosition); }
    void setValue(int value) { SetPosition(value); }
    int maximum() const { return static_cast<int>(FMax); }
    void setMaximum(int value) { SetMax(value); }
    int minimum() const { return static_cast<int>(FMin); }
    void setMinimum(int value) { SetMin(value); }
    void setRange(int minimum, int maximum);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::int64_t FMin = 0;
    std::int64_t FMax = 100;
    std::int64_t FPosition = 0;
};

} // namespace cw
