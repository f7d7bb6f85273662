#include "Unit1.h"

#include "BusPanel.h"
#include "ComboBox.h"
#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "HintTracker.h"
#include "Language.h"
#include "Memo.h"
#include "OutputMenu.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StatusMonitor.h"
#include "StringGrid.h"
#include "TarnellApplication.h"
#include "VerifyAction.h"

#include "packet/DataPacket.h"
#include "port/ComPort.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>

#include <utility>

namespace tarnell {

namespace {

constexpr int kPanel1Height = 289;
constexpr int kPanel2Height = 50;
constexpr int kStatusHeight = 69;

QFrame* NewPanel(QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    return panel;
}

QPushButton* NewButton(const QString& caption, QRect place, QWidget* parent)
{
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

// Screen readers are told that the main window is a window, not a filler:
// it is a plain widget for the sake of its fixed layout.
QAccessibleInterface* MainWindowAccessible(const QString&, QObject* object)
{
    if (auto* form = qobject_cast<TForm1*>(object))
        return new QAccessibleWidget(form, QAccessible::Window, form->windowTitle());
    return nullptr;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    static const bool accessibleInstalled = (QAccessible::installFactory(MainWindowAccessible), true);
    (void)accessibleInstalled;
    CreateControls();
    CreatePort();
    grids_ = std::make_unique<TParameterGrids>(state_, *StringGrid1, *StringGrid2);
    file_ = std::make_unique<TParameterFile>(*StringGrid1, *StringGrid2);
    hints_ = std::make_unique<TStatusHints>(state_, *mStatus, *meAdresse, strings::Tr(strings::hints::cbCommands));
    outputMenu_ = new TOutputMenu(*Memo1, *this);
    portChoice_ = new TPortChoice(
        *ComPort, *this, [this] { return !sequenceRunning_; },
        [this] {
            PortStatus->Refresh();
            // A poll on the wire as the port closed gets no answer now.
            line_->GiveUp();
        });
    PortStatus = new TPortStatusLine(*ComPort, portChoice_->Action(), this);
    language_ = new TLanguageMenu(InstalledLanguage(), *this);
    PortStatus->AddMenu(language_->Menu());
    outputMenu_->Menu().addSeparator();
    outputMenu_->Menu().addMenu(&language_->Menu());
    LayoutControls();
    SetTabOrder();
    BindEvents();
    FormCreate();
    // Beside the form, on the port line: they bind to the form's controls.
    verify_ = new TVerify(*this);
    bus_ = new TBusPanel(*this);
    monitor_ = new TStatusMonitor(*this);
    // Their buttons come before the port's in the tab order, as on the line,
    // and have their hints in the status line as the form's controls do.
    const std::pair<QToolButton*, const char*> lineButtons[] = {
        {PortStatus->AddAction(verify_->Action(), &verify_->Menu()), strings::hints::bVerify},
        {PortStatus->AddAction(bus_->Action()), strings::hints::bBus},
        {PortStatus->AddAction(monitor_->Action()), strings::hints::bMonitor},
        {PortStatus->ChooseButton(), strings::hints::bChoosePort}};
    QWidget* previous = StringGrid3;
    for (auto [button, hint] : lineButtons) {
        SetHint(button, strings::Tr(hint));
        setTabOrder(previous, button);
        previous = button;
    }
    // Their keys work in their own windows too.
    for (QWidget* w : std::initializer_list<QWidget*>{bus_, monitor_})
        w->addActions({&verify_->Action(), &bus_->Action(), &monitor_->Action()});
}

TForm1::~TForm1()
{
    // The port closes here, while the window is whole; its last messages
    // must not reach the handlers any more.
    if (TApplication* app = TApplication::Instance())
        app->SetKeyUpPreview(this, nullptr);
    ComDataPacket->OnStringPacket = nullptr;
    ComDataPacket->OnTimeout = nullptr;
    ComPort->SetOnTriggerLineError(nullptr);
    ComPort->SetOnPortOpen(nullptr);
    // The port line stops listening before the port goes.
    delete PortStatus;
    PortStatus = nullptr;
    ComDataPacket.reset();
    ComPort.reset();

    // The modules go before the controls: no handler may run while the
    // controls are destroyed (hiding and deleting them moves focus and mouse).
    if (TApplication* app = TApplication::Instance())
        disconnect(&app->Hints(), nullptr, this, nullptr);
    for (TStringGrid* grid : {StringGrid1, StringGrid2, StringGrid3}) {
        grid->OnClick = nullptr;
        grid->OnExit = nullptr;
        grid->OnSetEditText = nullptr;
    }
    rgGripperType->OnClick = nullptr;
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
}

void TForm1::CreateControls()
{
    setWindowTitle(strings::Tr(strings::kCaption));
    // Times New Roman where the machine has it, its metric twin elsewhere.
    QFont font(QStringLiteral("Times New Roman"));
    font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif")});
    font.setPixelSize(16);
    setFont(font);
    // Every control stays whole: nothing smaller than the designed form.
    setMinimumSize(kFormWidth, kFormHeight + kPortLineHeight);
    resize(kFormWidth, kFormHeight + kPortLineHeight);

    // Parameter area.
    Panel1 = NewPanel(this);
    Panel4 = NewPanel(Panel1);
    StringGrid2 = new TStringGrid(3, 2, 1, 1, Panel4);
    StringGrid2->SetDefaultColWidth(120);
    StringGrid2->SetEditing(true);
    StringGrid2->SetTabs(true);
    StringGrid1 = new TStringGrid(4, 8, 1, 1, Panel4);
    StringGrid1->SetDefaultColWidth(120);
    StringGrid1->SetEditing(true);
    StringGrid1->SetTabs(true);

    rgParity = new TRadioGroup(tr("Parity Bit"), {tr("Even Parity"), tr("No Parity")},
                               Panel1);
    rgParity->SetItemIndex(0);
    rgGripperType = new TRadioGroup(tr("Gripper Type"),
                                    {tr("50 mm"), tr("100 mm"), tr("30 mm")}, Panel1);
    rgGripperType->SetItemIndex(0);

    gbAdresse = new QGroupBox(tr("Tarnell Adress"), Panel1);
    meAdresse = new QLineEdit(gbAdresse);
    meAdresse->setGeometry(8, 24, 41, 27);
    // Up to two optional digits, a blank shown as a space.
    meAdresse->setInputMask(QStringLiteral("00; "));
    meAdresse->setMaxLength(2);
    meAdresse->setText(QStringLiteral("0"));

    bOpen = NewButton(tr("Open File"), {880, 8, 121, 25}, Panel1);
    bSave = NewButton(tr("Store File"), {880, 40, 121, 25}, Panel1);
    bClearStringGrid = NewButton(tr("Delete"), {880, 72, 121, 25}, Panel1);
    bRead = NewButton(tr("Readout"), {880, 224, 121, 25}, Panel1);
    bSenden = NewButton(tr("Send"), {880, 256, 121, 25}, Panel1);

    // Command line.
    Panel2 = NewPanel(this);
    cbCommands = new TComboBox(Panel2);
    bSenden2 = NewButton(tr("Send"), {880, 14, 121, 25}, Panel2);

    // Output area.
    Panel3 = NewPanel(this);
    Memo1 = new TMemo(Panel3);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Replies and commands reach the text after the next frame is out.
    Memo1->SetDeferred(true);
    bClear = NewButton(tr("<< Delete"), {720, 13, 130, 25}, Panel3);
    cgStatus = new TCheckGroup(tr("Status: "),
                               {tr("VCC Err."), tr("Temp. Err."),
                                tr("Overcurrent Err."), tr("Blocking Err."),
                                tr("Grip Err."), tr("n.a."), tr("Referenced"),
                                tr("Ready")},
                               Panel3);
    cgStatus->SetValue(-1);
    StringGrid3 = new TStringGrid(2, 12, 1, 0, Panel3);
    StringGrid3->SetEditing(true);
    StringGrid3->SetAlwaysShowEditor(true);
    StringGrid3->SetRangeSelect(true);
    StringGrid3->SetScrollBars(false);
    StringGrid3->SetTabs(false);

    // Status line for hints.
    mStatus = new TMemo(this);
    mStatus->setReadOnly(true);
    mStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mStatus->setFocusPolicy(Qt::ClickFocus);

    SetHint(bOpen, strings::Tr(strings::hints::bOpen));
    SetHint(bSave, strings::Tr(strings::hints::bSave));
    SetHint(bSenden, strings::Tr(strings::hints::bSenden));
    SetHint(bRead, strings::Tr(strings::hints::bRead));
    SetHint(bClearStringGrid, strings::Tr(strings::hints::bClearStringGrid));
    SetHint(meAdresse, strings::Tr(strings::hints::meAdresse));
    SetHint(StringGrid2, strings::Tr(strings::hints::StringGrid2));
    SetHint(StringGrid1, strings::Tr(strings::hints::StringGrid1));
    SetHint(cbCommands, strings::Tr(strings::hints::cbCommands));
    SetHint(Memo1, strings::Tr(strings::hints::Memo1));
    SetHint(StringGrid3, strings::Tr(strings::hints::StringGrid3));
}

void TForm1::LayoutControls()
{
    const int w = width();
    const int formHeight = height() - kPortLineHeight;
    const int dw = qMax(0, w - kFormWidth);
    const int dh = qMax(0, formHeight - kFormHeight);

    // Two panels at the top, the hint line at the bottom, the output area in
    // between; the port line below the form.
    Panel1->setGeometry(0, 0, w, kPanel1Height);
    Panel2->setGeometry(0, kPanel1Height, w, kPanel2Height);
    const int top3 = kPanel1Height + kPanel2Height;
    Panel3->setGeometry(0, top3, w, qMax(0, formHeight - top3 - kStatusHeight));
    mStatus->setGeometry(0, formHeight - kStatusHeight, w, kStatusHeight);
    if (PortStatus)
        PortStatus->setGeometry(0, formHeight, w, kPortLineHeight);

    // Parameter area: the grids widen, the selectors and buttons keep to the
    // right. The columns change first: a grid narrower than its columns for a
    // moment would scroll them.
    if (grids_)
        grids_->SetExtraWidth(dw);
    Panel4->setGeometry(1, 1, 714 + dw, kPanel1Height - 2);
    StringGrid2->setGeometry(7, 8, 700 + dw, 57);
    StringGrid1->setGeometry(7, 70, 700 + dw, 209);
    rgParity->setGeometry(720 + dw, 0, 153, 89);
    rgGripperType->setGeometry(720 + dw, 96, 153, 89);
    gbAdresse->setGeometry(720 + dw, 216, 153, 65);
    for (QPushButton* b : {bOpen, bSave, bClearStringGrid, bRead, bSenden})
        b->move(880 + dw, b->y());

    // Command line.
    cbCommands->setGeometry(8, 8, 700 + dw, cbCommands->sizeHint().height());
    bSenden2->move(880 + dw, 14);

    // Output area: the output window takes all that is more; the status
    // boxes and the key table beside it reach down as far as it does.
    Memo1->setGeometry(9, 9, 700 + dw, 304 + dh);
    bClear->move(720 + dw, 13);
    cgStatus->setGeometry(720 + dw, 50, 130, 261 + dh);
    StringGrid3->setGeometry(856 + dw, 8, 153, 305 + dh);
}

void TForm1::SetTabOrder()
{
    // Column by column, top to bottom, as the eye reads the form; the hint
    // line is no stop, the port line's button comes last.
    QWidget* order[] = {StringGrid2, StringGrid1, rgParity, rgGripperType, meAdresse,   bOpen,
                        bSave,       bClearStringGrid, bRead, bSenden, cbCommands, bSenden2,
                        Memo1,       bClear,      cgStatus, StringGrid3, PortStatus->ChooseButton()};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void TForm1::BindEvents()
{
    for (TStringGrid* grid : {StringGrid1, StringGrid2}) {
        grid->OnKeyPress = [this](QChar& key) { StringGrid1KeyPress(key); };
        grid->OnSetEditText = Guarded([this](int col, int row) { StringGrid1SetEditText(col, row); });
    }
    StringGrid1->OnClick = Guarded([this] { StringGrid1Click(); });
    StringGrid1->OnExit = StringGrid1->OnClick;
    StringGrid2->OnClick = Guarded([this] { StringGrid2Click(); });
    StringGrid2->OnExit = StringGrid2->OnClick;
    rgGripperType->OnClick = Guarded([this] { rgGripperTypeClick(); });
    connect(meAdresse, &QLineEdit::textChanged, this, Guarded([this] { meAdresseChange(); }));
    connect(bOpen, &QPushButton::clicked, this, Guarded([this] { bOpenClick(); }));
    connect(bSave, &QPushButton::clicked, this, Guarded([this] { bSaveClick(); }));
    connect(bClearStringGrid, &QPushButton::clicked, this, Guarded([this] { bClearStringGridClick(); }));
    connect(bClear, &QPushButton::clicked, this, Guarded([this] { bClearClick(); }));
    connect(bSenden2, &QPushButton::clicked, this, Guarded([this] { bSenden2Click(); }));
    // Enter in the command line sends, as its "Send" does; on an empty line
    // it does nothing, as an Enter too many is no command (the button still
    // sends the bare frame end).
    connect(cbCommands, &TComboBox::enterPressed, this, Guarded([this] {
                if (bSenden2->isEnabled() && !cbCommands->currentText().isEmpty())
                    bSenden2Click();
            }));
    connect(bRead, &QPushButton::clicked, this, Guarded([this] { bReadClick(); }));
    connect(bSenden, &QPushButton::clicked, this, Guarded([this] { bSendenClick(); }));
    rgParity->OnClick = Guarded([this] { rgParityClick(); });
    if (TApplication* app = TApplication::Instance())
        app->SetKeyUpPreview(this, Guarded([this](QKeyEvent& key) { FormKeyUp(key); }));
}

void TForm1::FormCreate()
{
    state_.GripperAddress = StrToInt(meAdresse->text().trimmed());
    state_.AddressColor = QApplication::palette().color(QPalette::Base);
    grids_->SetupStorageGrid(strings::kStorageHeadings50);
    grids_->SetupReferenceGrid();

    // Function keys F1..F12, one row each.
    for (int r = 0; r < StringGrid3->RowCount(); ++r)
        StringGrid3->SetCell(0, r, QStringLiteral("F") + QString::number(r + 1));
    StringGrid3->SetCell(1, 0, QStringLiteral("STA;0"));
    StringGrid3->SetCell(1, 11, QStringLiteral("VER;0"));
    StringGrid3->SetColWidth(0, StringGrid3->TextWidth(StringGrid3->Cell(0, StringGrid3->RowCount() - 1)) + 5);
    StringGrid3->SetColWidth(1, StringGrid3->ClientWidth() - StringGrid3->ColWidth(0) - 5);

    LoadCommandList(*cbCommands, strings::kCommands50and100);
    cbCommands->setMaxVisibleItems(20);

    if (TApplication* app = TApplication::Instance())
        connect(&app->Hints(), &THintTracker::hintChanged, this, Guarded([this](const QString& hint) {
                    ApplicationHint(hint);
                }));
}

void TForm1::SetupStorageGrid(const QString& h0, const QString& h1, const QString& h2, const QString& h3)
{
    grids_->SetupStorageGrid(h0, h1, h2, h3);
}

void TForm1::ApplicationHint(const QString& hint) { hints_->HintChanged(hint); }

void TForm1::bClearClick() { Memo1->Clear(); }

void TForm1::StringGrid1KeyPress(QChar& key) { TParameterGrids::KeyPress(key); }

void TForm1::StringGrid1SetEditText(int col, int row) { grids_->SetEditText(col, row); }

void TForm1::StringGrid1Click() { grids_->CheckStorageGrid(); }

void TForm1::StringGrid2Click() { grids_->CheckReferenceGrid(); }

void TForm1::rgGripperTypeClick()
{
    // Limit, visibility, headings, command list; no cell is touched.
    const TGripperType& type = GripperType(rgGripperType->ItemIndex());
    state_.MaxPosition = type.maxPosition;
    Panel4->setVisible(type.gridsShown);
    if (type.storageHeadings)
        grids_->SetupStorageGrid(type.storageHeadings);
    LoadCommandList(*cbCommands, type.commands);
}

void TForm1::meAdresseChange()
{
    const QString text = meAdresse->text().trimmed();
    if (text.isEmpty())
        return;
    const int before = state_.GripperAddress;
    state_.GripperAddress = StrToInt(text);
    if (state_.GripperAddress != before)
        emit gripperChanged(state_.GripperAddress);
}

void TForm1::bSaveClick()
{
    const std::vector<std::string> lines = file_->Lines();
    const std::optional<QString> name =
        Dialogs().SaveFileName(this, QStringLiteral("*.gri"), QStringLiteral("gri"));
    if (!name)
        return;
    SetFileFolder(QFileInfo(*name).absolutePath());
    file_->Store(*name, lines);
}

void TForm1::bOpenClick()
{
    const std::optional<QString> name =
        Dialogs().OpenFileName(this, QStringLiteral("*.gri"), QStringLiteral("gri"));
    if (!name)
        return;
    SetFileFolder(QFileInfo(*name).absolutePath());
    file_->Load(*name);
}

void TForm1::bClearStringGridClick() { file_->ClearStorageGrid(); }

void TForm1::resizeEvent(QResizeEvent* event)
{
    if (event)
        QWidget::resizeEvent(event);
    LayoutControls();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A sequence waiting for an answer sees this and ends; the port closes
    // when the window goes.
    closing_ = true;
    for (const QWidget* w : std::initializer_list<const QWidget*>{bus_, monitor_})
        if (w->isVisible())
            openAtClose_.append(w);
    QWidget::closeEvent(event);
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    if (QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

}  // namespace tarnell
