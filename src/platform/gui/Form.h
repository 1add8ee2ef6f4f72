#pragma once
// TForm: a top-level window with the modal behaviour the program's windows are written against.
//
// - ShowModal() shows the form application-modal and runs its own message loop until
//   ModalResult() is non-zero. A handler that sets the modal result still runs to its end; the
//   loop looks at the result only after the handler has returned. Messages posted to the form
//   (PostMessage) that arrive after the result was set are held back and not handled by this
//   loop: the form closes first. If the form is still alive afterwards they are posted again,
//   in their order (a form destroyed after ShowModal drops them, as a destroyed window would).
// - When the result is set, the close handling runs: FormCloseQuery, then FormClose with the
//   action caHide. caNone clears the result and the loop goes on; caFree releases the form
//   after it is hidden. An ended application (Application::Terminated) ends the loop with
//   mrCancel.
// - Close() on a modal form, and the title bar's close button, only set mrCancel; the loop then
//   closes the form. On a form that is not modal, Close() runs the same close handling directly
//   and hides the form (caHide), minimises it (caMinimize) or releases it (caFree). Closing the
//   main form (SetMainForm) ends the application.
// - Each form owns a MessageWindow: Handle(), PostMessage and SendMessage reach the virtual
//   WndProc, on the thread of the form.
// - Every entry from Qt (show, close, posted messages) runs under Application::Guard.
//
// Geometry follows the classic form properties: Left/Top/Width/Height are the outer frame,
// ClientWidth/ClientHeight the area inside it.

#include "platform/MessageWindow.h"
#include "platform/Types.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

enum TModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
    mrClose = 8,
};

enum TCloseAction { caNone, caHide, caFree, caMinimize };

// Where the form places itself each time it is shown.
enum TPosition { poDesigned, poScreenCenter, poOwnerFormCenter };

class TForm : public QWidget, public TComponent {
public:
    // A form with an owner is a dialog window of it (it stays above its owner); ownership in
    // the C++ sense stays with whoever created the form.
    explicit TForm(TForm* owner = nullptr);
    ~TForm() override;
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    HWND Handle() const { return FWindow->Handle(); }
    bool PostMessage(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT SendMessage(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Show modally and return the modal result. Throws Exception when the form is already
    // visible or already modal.
    int ShowModal();
    int ModalResult() const { return FModalResult; }
    void SetModalResult(int value) { FModalResult = value; }
    bool Modal() const { return FModalDepth > 0; }

    void Close();
    // Free the form once control is back in the event loop. Only for forms created with new
    // that nobody else owns.
    void Release();

    std::string Caption() const;
    void SetCaption(const std::string& value);

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int value);
    void SetTop(int value);
    void SetWidth(int value);
    void SetHeight(int value);
    void SetBounds(int left, int top, int width, int height);
    int ClientWidth() const { return QWidget::width(); }
    int ClientHeight() const { return QWidget::height(); }
    void SetClientWidth(int value);
    void SetClientHeight(int value);

    // Escape closes the form as Cancel does (a dialog's way out). Off by default: a window
    // whose work must be stopped on purpose keeps its explicit Stop.
    bool CancelOnEscape() const { return FCancelOnEscape; }
    void SetCancelOnEscape(bool value) { FCancelOnEscape = value; }

    TPosition Position() const { return FPosition; }
    void SetPosition(TPosition value) { FPosition = value; }

    // The form whose closing ends the application (the program's main window).
    static void SetMainForm(TForm* form);
    static TForm* MainForm();

    // Events; fire only when assigned. The virtual handlers below call them by default.
    std::function<void(TObject* Sender)> OnShow;
    std::function<void(TObject* Sender, bool& CanClose)> OnCloseQuery;
    std::function<void(TObject* Sender, TCloseAction& Action)> OnClose;

protected:
    virtual void WndProc(TMessage& msg);
    virtual void FormShow();
    virtual void FormCloseQuery(bool& canClose);
    virtual void FormClose(TCloseAction& action);

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Enter that no control of the form used presses the form's default button (a QPushButton
    // marked default, visible and enabled), as it does in a dialog; Escape closes the form as
    // Cancel when CancelOnEscape is set.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void DispatchMessage(TMessage& msg);
    // The close handling shared by the modal loop and Close(); returns the chosen action.
    TCloseAction RunCloseHandlers();
    void CloseModal();
    void RepostHeldMessages();
    void PlaceOnShow();

    class FormWindow;
    friend class FormWindow;

    std::unique_ptr<MessageWindow> FWindow;
    int FModalResult = mrNone;
    int FModalDepth = 0;
    bool FPostedPending = false;
    std::vector<TMessage> FHeld;
    TPosition FPosition = poDesigned;
    bool FCancelOnEscape = false;
};

} // namespace cw
