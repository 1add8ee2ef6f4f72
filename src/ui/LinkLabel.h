#pragma once
// A label that works as a web link: link colour, hand cursor, underlined while the mouse is over
// it. A click (press and release inside it with the left button) runs OnClick when assigned,
// else asks the shell to open Url() (Shell::Open; a failure is not reported).

#include <QLabel>
#include <functional>
#include <string>

namespace cw {

class LinkLabel : public QLabel {
public:
    explicit LinkLabel(QWidget* parent = nullptr);

    const std::string& Url() const { return FUrl; }
    void SetUrl(const std::string& url) { FUrl = url; }

    std::function<void()> OnClick;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void SetUnderline(bool on);

    std::string FUrl;
    bool FPressed = false;
};

} // namespace cw
