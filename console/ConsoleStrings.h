// The console's string table: captions and headings, hint texts, the range
// and time-out messages, and the two built-in command lists.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace tarnell::strings {

// A text of this table as the operator reads it, in the window's language.
inline QString Tr(const char* text) { return QCoreApplication::translate("Console", text); }

inline constexpr const char* kCaption = QT_TRANSLATE_NOOP("Console", "Tarnell by Voskarwerk");

// Storage-place grid headings per gripper type.
inline constexpr const char* kStorageHeadings50[4] = {
    QT_TRANSLATE_NOOP("Console", "StoragePos."),
    QT_TRANSLATE_NOOP("Console", "Grip Position 0..500 [1/10 mm]"),
    QT_TRANSLATE_NOOP("Console", "Provision Position 0..500 [1/10 mm]"),
    QT_TRANSLATE_NOOP("Console", "Grip Force 3..50 [N]")};
inline constexpr const char* kStorageHeadings100[4] = {
    QT_TRANSLATE_NOOP("Console", "StoragePos."),
    QT_TRANSLATE_NOOP("Console", "Grip Position 0..1000 [1/10 mm]"),
    QT_TRANSLATE_NOOP("Console", "Provision Position 0..1000 [1/10 mm]"),
    QT_TRANSLATE_NOOP("Console", "Grip Force 3..50 [N]")};
inline constexpr const char* kReferenceHeadings[3] = {
    QT_TRANSLATE_NOOP("Console", "Ref. Drive / Force Compensation"),
    QT_TRANSLATE_NOOP("Console", "Ref. Drive Position"),
    QT_TRANSLATE_NOOP("Console", "Force Compensation Position")};

inline constexpr const char* kMinimumValueIs = QT_TRANSLATE_NOOP("Console", "Minimum Value is: ");
inline constexpr const char* kMaximumValueIs = QT_TRANSLATE_NOOP("Console", "Maximum Value is: ");
inline constexpr const char* kTimeoutMessage = QT_TRANSLATE_NOOP("Console",
    "...Timeout - Tarnell does not respond!\r\nPlease check connection!");

// The runtime's error texts that the operator gets to see (UTF-8).
// After a port that would not open: what the operator can do.
inline constexpr const char* kOpenFailedNext = QT_TRANSLATE_NOOP("Console", "\r\nThe next command asks for a port.");
// What a poll or a scan says when it finds no open port: it opens none.
inline constexpr const char* kNoPortOpen = QT_TRANSLATE_NOOP("Console",
    "No port is open: your next command (F1, for instance) opens one.");
inline constexpr const char* kConvertError = QT_TRANSLATE_NOOP("Console", "'%1' ist kein gültiger Integerwert");
inline constexpr const char* kListIndexError = QT_TRANSLATE_NOOP("Console",
    "Listenindex überschreitet das Maximum (%1)");
inline constexpr const char* kFileCreateError = QT_TRANSLATE_NOOP("Console",
    "Datei \"%1\" kann nicht erstellt werden. %2");
inline constexpr const char* kFileOpenError = QT_TRANSLATE_NOOP("Console",
    "Datei \"%1\" kann nicht geöffnet werden. %2");
inline constexpr const char* kFileRefused =
    QT_TRANSLATE_NOOP("Console",
        "The file \"%1\" is not a parameter file: line %2 is neither empty nor a number (%3). Nothing "
        "was loaded.");

// Built-in command lists, one item per line (example line, then its syntax).
inline constexpr const char* kCommands50and100 =
    "CMP;0;250\r\n"
    "CMP;Adress[0,1..32];Position[0..500]\r\n"
    "CSC;0;1\r\n"
    "CSC;Adress[0,1..32];Status Configuration[0..2]\r\n"
    "GRI;0;250;10\r\n"
    "GRI;Adress[0,1..32];Grip Position[0..500];Grip Force[3..50]\r\n"
    "POS;0;250\r\n"
    "POS;Adress[0,1..32];Position[0..500]\r\n"
    "RCL;0;1\r\n"
    "RCL;Adress[0,1..32];Storage Pos.[1..8]\r\n"
    "REF;0;250\r\n"
    "REF;Adress[0,1..32];Position[0..500]\r\n"
    "REL;0;-50\r\n"
    "REL;Adress[0,1..32];Relativ-Position[-500..500]\r\n"
    "RES;0;1\r\n"
    "RES;Adress[0,1..32];Storage Pos.[1..8]\r\n"
    "SAD;0;5\r\n"
    "SAD;Adress[0,1..32];New Adress[1..32]\r\n"
    "SIF;0;1\r\n"
    "SIF;Adress[0,1..32];Interface[0,1];0=Digital-I/O;1=RS232/RS485\r\n"
    "SMS;0;20;150;0\r\n"
    "SMS;Adress[0,1..32];Grip Speed[10..150]mm/s;Pos. Speed[10..150]mm/s;Store[0..1]\r\n"
    "STA;0\r\n"
    "STA;Adress[0,1..32]\r\n"
    "STO;0;1;250;30;10\r\n"
    "STO;Adress[0,1..32];Storage Pos.[1..8];Grip Position[0..500];Provision Position[0..50];Grip Force[3..50]\r\n"
    "TST;0;50;450\r\n"
    "VER;0";
inline constexpr const char* kCommands30 =
    "CMP;0;150\r\n"
    "CMP;Adress[0,1..32];Position[0..300]\r\n"
    "GRI;0;150;5\r\n"
    "GRI;Adress[0,1..32];Grip Position[0..300];Grip Force[3..30]\r\n"
    "POS;0;150\r\n"
    "POS;Adress[0,1..32];Position[0..300]\r\n"
    "REF;0;150\r\n"
    "REF;Adress[0,1..32];Position[0..300]\r\n"
    "REL;0;-50\r\n"
    "REL;Adress[0,1..32];Relativ-Position[-300..300]\r\n"
    "SAD;0;5\r\n"
    "SAD;Adress[0,1..32];New Adress[1..32]\r\n"
    "SMS;0;20;150;0\r\n"
    "SMS;Adress[0,1..32];Grip Speed[10..150]mm/s;Pos. Speed[10..150]mm/s;Store[0..1]\r\n"
    "STA;0\r\n"
    "STA;Adress[0,1..32]\r\n"
    "TST;0;50;250\r\n"
    "VER;0";

// Hints, shown in the status line while the mouse rests on their control.
namespace hints {
inline constexpr const char* bOpen = QT_TRANSLATE_NOOP("Console",
    "Load file with position- and gripper data and write to the grid. ");
inline constexpr const char* bSave = QT_TRANSLATE_NOOP("Console",
    "Load position- and gripper data from the grid and store to a file.");
inline constexpr const char* bSenden =
    QT_TRANSLATE_NOOP("Console",
        "Write to the 8 storage places with the defined position- and gripper parameters of the grid at "
        "left.");
inline constexpr const char* bRead =
    QT_TRANSLATE_NOOP("Console", "Readout of the 8 storage places with predefined position- and gripper parameters.");
inline constexpr const char* bClearStringGrid =
    QT_TRANSLATE_NOOP("Console", "Deletes all data in the adjacent grid, however not in the servo gripper!");
inline constexpr const char* meAdresse =
    QT_TRANSLATE_NOOP("Console",
        "The servo gripper with this address will be addressed with the buttons \"Readout\" and \"Send\".");
inline constexpr const char* StringGrid2 =
    QT_TRANSLATE_NOOP("Console",
        "In this grid the position for reference drive and force compensation of the servo gripper are entered "
        "respectively displayed.");
inline constexpr const char* StringGrid1 =
    QT_TRANSLATE_NOOP("Console",
        "In this grid the position and grip parameters for the 7 storage places of the servo gripper are entered "
        "respectively displayed.");
inline constexpr const char* cbCommands =
    QT_TRANSLATE_NOOP("Console",
        "Instead of a fixed address the wild-card \"#ADR\" may be entered.\r\n"
        "The address set at \"Tarnell Address\" will then be dynamically entered.");
inline constexpr const char* Memo1 =
    QT_TRANSLATE_NOOP("Console",
        "Output Window: here all commands sent and messages received are displayed  .\r\n"
        "The last notice is displayed at the top of the list.\r\n"
        "\"TX:...\" sended messages.\r\n"
        "\"->RX:...\" received messages");
inline constexpr const char* StringGrid3 =
    QT_TRANSLATE_NOOP("Console",
        "In this grid you can assign commands to the F1 .. F12 Keys. Just capture a command with Ctrl+C and and copy "
        "it with Ctrl+V.\r\n"
        "From now on you can execute this command just by pressing the appropriate F-Key.\r\n"
        "F1 is already allocated with the STA command.");
// The buttons on the port line below the form.
inline constexpr const char* bVerify =
    QT_TRANSLATE_NOOP("Console",
        "Readout of the 8 storage places and comparison with the grid at left; nothing is written to the servo "
        "gripper. Cells that differ are marked (Ctrl+Shift+V).\r\n"
        "The arrow beside it sets whether every \"Send\" is verified at once (Ctrl+Alt+V).");
inline constexpr const char* bBus =
    QT_TRANSLATE_NOOP("Console",
        "Finds the servo grippers on the bus: every address of a range is asked for its status and version "
        "(Ctrl+B).");
inline constexpr const char* bMonitor =
    QT_TRANSLATE_NOOP("Console",
        "Shows the 8 status bits of the servo gripper at \"Tarnell Adress\" over time (Ctrl+M).");
inline constexpr const char* bChoosePort = QT_TRANSLATE_NOOP("Console",
    "Closes the port; the next command asks for a port (Ctrl+P).");
}  // namespace hints

}  // namespace tarnell::strings
