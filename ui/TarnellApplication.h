// The application object. Qt does not let an exception cross its event loop,
// so this is where the console's error report sits: an exception that leaves
// any handler is shown in a modal message box with its message, and the
// window goes on working. The serial layer's main-thread calls report through
// the same box (sio::SetExceptionReporter).
#pragma once

#include "HintTracker.h"

#include <QApplication>
#include <QKeyEvent>

#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

namespace tarnell {

class TApplication final : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Key preview: the handler sees every key release meant for window or
    // any of its controls, once per event and before the focused control,
    // which still receives it. nullptr removes the handler.
    using TKeyPreview = std::function<void(QKeyEvent& key)>;
    void SetKeyUpPreview(QWidget* window, TKeyPreview preview);

    // The application-wide hint of the control under the mouse.
    THintTracker& Hints() { return hints_; }

    // The running application object, or nullptr if it is not a TApplication.
    static TApplication* Instance();

private:
    THintTracker hints_;
    QWidget* previewWindow_ = nullptr;
    TKeyPreview keyUpPreview_;
};

// The text of an exception as the error report shows it.
QString ExceptionMessage(std::exception_ptr error);

// The error report: shows the exception's message in a modal message box
// (through the dialog seam) and returns. Main thread only.
void ShowException(std::exception_ptr error);

// Wraps a handler so that an exception leaving it goes to the error report
// right there, instead of unwinding through the toolkit's frames.
template <class F>
auto Guarded(F handler)
{
    // Constrained, so that Qt can count the arguments the handler takes.
    return [handler = std::move(handler)](auto&&... args)
        requires std::is_invocable_v<const F&, decltype(args)...>
    {
        try {
            handler(std::forward<decltype(args)>(args)...);
        } catch (...) {
            ShowException(std::current_exception());
        }
    };
}

}  // namespace tarnell
