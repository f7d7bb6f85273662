// Program entry: the application object, the main window, the message loop
// until the window is closed.
#include "TarnellApplication.h"
#include "Unit1.h"

int main(int argc, char** argv)
{
    tarnell::TApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Tarnell Console"));
    tarnell::TForm1 form;
    form.show();
    return app.exec();
}
