#include "platform/gui/Form.h"

#include "platform/Application.h"
#include "platform/gui/QtGlue.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <utility>

namespace cw {

namespace {
TForm* gMainForm = nullptr;

// Messages held back by a closing modal loop, handed back in one event. It is posted with a
// higher priority than ordinary messages so that it overtakes the messages still queued behind
// the held ones and the original order is kept.
const QEvent::Type kHeldMessagesEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class HeldMessagesEvent : public QEvent {
public:
    explicit HeldMessagesEvent(std::vector<TMessage> messages)
        : QEvent(kHeldMessagesEvent), Messages(std::move(messages))
    {
    }
    std::vector<TMessage> Messages;
};
} // namespace

// The form's hidden window. It marks the messages that come out of the event queue, so the
// form can tell a posted message (which the modal loop may hold back) from a sent one (which is
// always handled at once, as the sender waits for it).
class TForm::FormWindow : public MessageWindow {
public:
    explicit FormWindow(TForm* form) : MessageWindow([form](TMessage& m) { form->DispatchMessage(m); }), FForm(form) {}

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == kHeldMessagesEvent) {
            // Each one as if it came from the queue now: a form that is closing again holds
            // the rest once more, in order.
            for (TMessage& m : static_cast<HeldMessagesEvent*>(e)->Messages) {
                FForm->FPostedPending = true;
                Application::Guard([&] { FForm->DispatchMessage(m); });
                FForm->FPostedPending = false;
            }
            return true;
        }
        FForm->FPostedPending = true;
        bool handled = MessageWindow::event(e);
        FForm->FPostedPending = false;
        return handled;
    }

private:
    TForm* FForm;
};

TForm::TForm(TForm* owner)
    : QWidget(owner, owner ? Qt::Dialog : Qt::Window), TComponent(owner), FWindow(std::make_unique<FormWindow>(this))
{
}

TForm::~TForm()
{
    if (gMainForm == this)
        gMainForm = nullptr;
}

bool TForm::PostMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    return FWindow->PostMessage(msg, wParam, lParam);
}

LRESULT TForm::SendMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    return FWindow->SendMessage(msg, wParam, lParam);
}

void TForm::DispatchMessage(TMessage& msg)
{
    bool posted = std::exchange(FPostedPending, false);
    if (posted && FModalDepth > 0 && FModalResult != mrNone) {
        FHeld.push_back(msg);
        return;
    }
    WndProc(msg);
}

void TForm::RepostHeldMessages()
{
    if (FHeld.empty())
        return;
    QCoreApplication::postEvent(FWindow.get(), new HeldMessagesEvent(std::exchange(FHeld, {})), Qt::HighEventPriority);
}

int TForm::ShowModal()
{
    if (isVisible() || FModalDepth > 0)
        throw Exception("Cannot make a visible window modal");

    // Undone on every way out, also when the close handling throws.
    struct ModalScope {
        TForm* Form;
        ~ModalScope()
        {
            --Form->FModalDepth;
            Form->hide();
            Form->setWindowModality(Qt::NonModal);
            Form->RepostHeldMessages();
        }
    };

    setWindowModality(Qt::ApplicationModal);
    ++FModalDepth;
    ModalScope scope{this};
    show();
    raise();
    activateWindow();
    // Whatever the show handler set does not count: the loop starts from "no result".
    FModalResult = mrNone;
    do {
        Application::HandleMessage();
        if (Application::Terminated())
            FModalResult = mrCancel;
        else if (FModalResult != mrNone)
            CloseModal();
    } while (FModalResult == mrNone);
    return FModalResult;
}

void TForm::CloseModal()
{
    TCloseAction action = RunCloseHandlers();
    if (action == caNone) {
        FModalResult = mrNone;
        RepostHeldMessages();
    } else if (action == caFree) {
        Release();
    }
}

TCloseAction TForm::RunCloseHandlers()
{
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose)
        return caNone;
    TCloseAction action = caHide;
    FormClose(action);
    return action;
}

void TForm::Close()
{
    if (FModalDepth > 0)
        FModalResult = mrCancel;
    else
        QWidget::close();
}

void TForm::Release()
{
    deleteLater();
}

void TForm::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (FModalDepth > 0) {
        // The modal loop runs the close handling once the current handler has returned.
        FModalResult = mrCancel;
        return;
    }
    Application::Guard([&] {
        TCloseAction action = RunCloseHandlers();
        switch (action) {
        case caNone:
            return;
        case caHide:
            event->accept();
            break;
        case caMinimize:
            showMinimized();
            break;
        case caFree:
            event->accept();
            Release();
            break;
        }
        if (this == gMainForm)
            Application::Terminate();
    });
}

void TForm::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // Only buttons of this window: a form placed inside another keeps its own.
        for (QPushButton* button : findChildren<QPushButton*>()) {
            if (button->isDefault() && button->window() == this && button->isVisibleTo(this) &&
                button->isEnabledTo(this)) {
                event->accept();
                Application::Guard([&] { button->click(); });
                return;
            }
        }
    }
    if (FCancelOnEscape && event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        Application::Guard([this] {
            if (Modal())
                SetModalResult(mrCancel);
            else
                Close();
        });
        return;
    }
    QWidget::keyPressEvent(event);
}

void TForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return; // the window system re-showing a minimised window is not a new showing
    PlaceOnShow();
    Application::Guard([&] { FormShow(); });
}

void TForm::PlaceOnShow()
{
    if (FPosition == poDesigned)
        return;
    QRect area;
    if (FPosition == poOwnerFormCenter && parentWidget())
        area = parentWidget()->window()->frameGeometry();
    else if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen())
        area = s->availableGeometry();
    if (area.isEmpty())
        return;
    QRect frame = frameGeometry();
    move(area.left() + (area.width() - frame.width()) / 2, area.top() + (area.height() - frame.height()) / 2);
}

void TForm::WndProc(TMessage&) {}

void TForm::FormShow()
{
    if (OnShow)
        OnShow(this);
}

void TForm::FormCloseQuery(bool& canClose)
{
    if (OnCloseQuery)
        OnCloseQuery(this, canClose);
}

void TForm::FormClose(TCloseAction& action)
{
    if (OnClose)
        OnClose(this, action);
}

std::string TForm::Caption() const
{
    return FromQt(windowTitle());
}

void TForm::SetCaption(const std::string& value)
{
    setWindowTitle(ToQt(value));
}

int TForm::Left() const
{
    return pos().x();
}

int TForm::Top() const
{
    return pos().y();
}

int TForm::Width() const
{
    return frameGeometry().width();
}

int TForm::Height() const
{
    return frameGeometry().height();
}

void TForm::SetLeft(int value)
{
    move(value, pos().y());
}

void TForm::SetTop(int value)
{
    move(pos().x(), value);
}

void TForm::SetWidth(int value)
{
    SetClientWidth(value - (frameGeometry().width() - QWidget::width()));
}

void TForm::SetHeight(int value)
{
    SetClientHeight(value - (frameGeometry().height() - QWidget::height()));
}

void TForm::SetBounds(int left, int top, int width, int height)
{
    move(left, top);
    SetWidth(width);
    SetHeight(height);
}

// A form of fixed size (a single border that cannot be dragged) stays fixed at the new size.
void TForm::SetClientWidth(int value)
{
    value = std::max(0, value);
    if (minimumWidth() == maximumWidth())
        setFixedWidth(value);
    else
        resize(value, QWidget::height());
}

void TForm::SetClientHeight(int value)
{
    value = std::max(0, value);
    if (minimumHeight() == maximumHeight())
        setFixedHeight(value);
    else
        resize(QWidget::width(), value);
}

void TForm::SetMainForm(TForm* form)
{
    gMainForm = form;
}

TForm* TForm::MainForm()
{
    return gMainForm;
}

} // namespace cw
