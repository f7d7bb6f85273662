#include "TarnellApplication.h"

#include "Dialogs.h"
#include "SerialTexts.h"
#include "base/MessageQueue.h"

#include <QThread>
#include <QWidget>

#include <cstdio>
#include <stdexcept>

namespace tarnell {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv), hints_(this)
{
    sio::SetExceptionReporter([](std::exception_ptr error) {
        // The serial layer calls this on the main thread; anything else must
        // not open a box, so it goes to stderr.
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
            ShowException(error);
            return;
        }
        std::fprintf(stderr, "%s\n", ExceptionMessage(error).toLocal8Bit().constData());
    });
}

TApplication::~TApplication() { sio::SetExceptionReporter(nullptr); }

TApplication* TApplication::Instance() { return qobject_cast<TApplication*>(QCoreApplication::instance()); }

void TApplication::SetKeyUpPreview(QWidget* window, TKeyPreview preview)
{
    previewWindow_ = preview ? window : nullptr;
    keyUpPreview_ = std::move(preview);
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        // Here a key event is seen once, before Qt hands it from the focused
        // control up to its parents.
        if (keyUpPreview_ && event->type() == QEvent::KeyRelease && receiver->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(receiver);
            if (widget->window() == previewWindow_) {
                TKeyPreview preview = keyUpPreview_;
                try {
                    preview(*static_cast<QKeyEvent*>(event));
                } catch (...) {
                    // Reported, and the key still reaches its control.
                    ShowException(std::current_exception());
                }
            }
        }
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(std::current_exception());
        return true;
    }
}

QString ExceptionMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return SerialText(e.what());
    } catch (...) {
        return QCoreApplication::translate("Console", "Unknown exception");
    }
}

void ShowException(std::exception_ptr error)
{
    if (!error)
        return;
    QString text = ExceptionMessage(error);
    try {
        Dialogs().ShowMessage(QApplication::activeWindow(), text, TMessageKind::Error);
    } catch (...) {
        // The report itself must not throw back into the event loop.
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    }
}

}  // namespace tarnell
