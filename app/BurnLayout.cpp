// The main window's widgets, laid out by hand: every control with its object
// name, text, size and the handler its signal reaches.
#include "app/burn.h"

#include "app/Pictures.h"
#include "app/SteadyLabel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kInitialStatus = QStringLiteral(
    "1. Load Hex.  ->  2. Click Download  -> 3. Power Reset controller -> 4. QTR Reset Controller");
const QString kVersionNotice = QStringLiteral(
    "Norvik Controller Firmware Burner v" NORVIK_VERSION "  -  For authorised Norvik installers only.");

QLabel *AddLabel(QWidget *parent, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

// The label beside a field names it: its buddy (Alt+letter, and the relation
// screen readers follow) and its accessible name, so that screen readers and
// desktop test tools find the field by the text the user reads.
template <typename Field>
Field *Labelled(Field *field, QLabel *label)
{
    label->setBuddy(field);
    field->setAccessibleName(label->text());
    return field;
}

QLineEdit *AddEdit(QWidget *parent, const char *name, const QString &text)
{
    auto *edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    return edit;
}

// A field at least `pixels` wide (its width at the usual desktop font), wider
// when its font needs more room for `sample`.
void FitWidth(QLineEdit *edit, int pixels, const QString &sample)
{
    const QFontMetrics fm(edit->font());
    // QLineEdit's own hint is 17 'x' wide plus frame and margins: swap in the
    // sample, and leave room for the cursor.
    const int needed = edit->sizeHint().width() - 17 * fm.horizontalAdvance(QLatin1Char('x')) +
                       fm.horizontalAdvance(sample) + 2;
    edit->setFixedWidth(std::max(pixels, needed));
}

// A labelled line edit in a grid row: the label at `column`, the field beside it.
QLineEdit *AddGridEdit(QGridLayout *grid, int row, int column, QLabel *label, const char *name, const QString &text,
                       int pixels, const QString &sample, Qt::Alignment alignment = {})
{
    grid->addWidget(label, row, column);
    QLineEdit *edit = Labelled(AddEdit(label->parentWidget(), name, text), label);
    FitWidth(edit, pixels, sample);
    grid->addWidget(edit, row, column + 1, alignment);
    return edit;
}

QPushButton *AddButton(QWidget *parent, const char *name, const QString &text, int minWidth, int minHeight)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setMinimumSize(minWidth, minHeight);
    // Enter on a focused button presses that button, as users of this kind of tool expect.
    button->setAutoDefault(true);
    return button;
}

} // namespace

// ---------------------------------------------------------------------------
// TImage

TImage::TImage(QWidget *parent) : norvik::TPicture(&norvik::PaintLogo, QSize(48, 48), parent)
{
    setCursor(Qt::PointingHandCursor);
}

void TImage::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

// ---------------------------------------------------------------------------
// TfrmBurn: the controls

void TfrmBurn::BuildControls()
{
    // The window takes the size its contents need at the desktop's font and
    // keeps it: 592 x 422 at the usual font, larger where the font is.
    auto *root = new QVBoxLayout(this);
    root->setSizeConstraint(QLayout::SetFixedSize);
    root->setContentsMargins(8, 4, 8, 12);
    root->setSpacing(6);

    // Header: stays usable while a download locks the input panel.
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    root->addLayout(header);
    Image1 = new TImage(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAccessibleName(QStringLiteral("Logo"));
    connect(Image1, &TImage::clicked, this, &TfrmBurn::Image1Click);
    header->addWidget(Image1, 0, Qt::AlignTop);

    auto *status = new QVBoxLayout;
    status->setSpacing(2);
    header->addLayout(status, 1);
    QLabel *statusCaption = AddLabel(this, QStringLiteral("Status:"));
    QFont bold = statusCaption->font();
    bold.setBold(true);
    statusCaption->setFont(bold);
    status->addWidget(statusCaption);

    // Sized for the first instruction, the longest text the line shows; later
    // texts do not resize the window.
    labStatus = new norvik::TSteadyLabel(kInitialStatus, kInitialStatus, this);
    labStatus->setObjectName(QStringLiteral("labStatus"));
    labStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette maroon = labStatus->palette();
    maroon.setColor(QPalette::WindowText, QColor(0x80, 0x00, 0x00));
    labStatus->setPalette(maroon);
    status->addWidget(labStatus);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    // "n / m" record lines once a download has its line count.
    ProgressBar1->setFormat(QStringLiteral("%v / %m"));
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFixedHeight(std::max(14, ProgressBar1->fontMetrics().height() + 2));
    ProgressBar1->setMinimumWidth(520);
    status->addWidget(ProgressBar1);

    // Everything else sits in Panel2, which a download disables as a whole.
    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameShape(QFrame::NoFrame);
    root->addWidget(Panel2);
    auto *panel2 = new QVBoxLayout(Panel2);
    panel2->setContentsMargins(0, 0, 0, 0);
    panel2->setSpacing(6);

    Panel1 = new QFrame(Panel2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Raised);
    Panel1->setMinimumWidth(576);
    panel2->addWidget(Panel1);
    auto *grid = new QGridLayout(Panel1);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    grid->setColumnMinimumWidth(0, 90);
    grid->setColumnMinimumWidth(4, 20);
    grid->setColumnStretch(4, 1);
    grid->setColumnMinimumWidth(5, 80);
    grid->setColumnMinimumWidth(6, 48);

    // Left column: controller and link pacing.
    QLabel *label = AddLabel(Panel1, QStringLiteral("ControllerID:"));
    grid->addWidget(label, 0, 0);
    cmbControllerID = Labelled(new QComboBox(Panel1), label);
    cmbControllerID->setObjectName(QStringLiteral("cmbControllerID"));
    cmbControllerID->setEditable(false);
    for (int id = 1; id <= 128; ++id)
        cmbControllerID->addItem(QString::number(id));
    cmbControllerID->setCurrentIndex(0);
    cmbControllerID->setMinimumWidth(70);
    grid->addWidget(cmbControllerID, 0, 1, 1, 3, Qt::AlignLeft);

    label = AddLabel(Panel1, QStringLiteral("Controller SN:"));
    grid->addWidget(label, 1, 0);
    edtSN = Labelled(AddEdit(Panel1, "edtSN", QString()), label);
    edtSN->setMaxLength(8);
    edtSN->installEventFilter(this);
    FitWidth(edtSN, 110, QStringLiteral("00000000"));
    grid->addWidget(edtSN, 1, 1, 1, 3, Qt::AlignLeft);

    const QString number = QStringLiteral("00000");
    edtSerialDelay = AddGridEdit(grid, 2, 0, AddLabel(Panel1, QStringLiteral("Delay")), "edtSerialDelay",
                                 QStringLiteral("200"), 60, number);
    edtRetrySleep = AddGridEdit(grid, 3, 0, AddLabel(Panel1, QStringLiteral("Retry Sleep:")), "edtRetrySleep",
                                QStringLiteral("20"), 60, number);
    label = AddLabel(Panel1, QStringLiteral("Retry"));
    label->setIndent(8);
    edtRetry = AddGridEdit(grid, 3, 2, label, "edtRetry", QStringLiteral("20"), 60, number);

    // Right column: the link and its address.
    rbModem = new QRadioButton(QStringLiteral("Modem"), Panel1);
    rbModem->setObjectName(QStringLiteral("rbModem"));
    grid->addWidget(rbModem, 0, 5);
    const QString address = QStringLiteral("000.000.000.000");
    edtPhone = AddGridEdit(grid, 0, 6, AddLabel(Panel1, QStringLiteral("Phone#")), "edtPhone", QString(), 130, address);

    rbSerial = new QRadioButton(QStringLiteral("Serial"), Panel1);
    rbSerial->setObjectName(QStringLiteral("rbSerial"));
    rbSerial->setChecked(true);
    grid->addWidget(rbSerial, 1, 5);
    label = AddLabel(Panel1, QStringLiteral("COM:"));
    grid->addWidget(label, 1, 6);
    ComboBox1 = Labelled(new TPortComboBox(Panel1), label);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(false);
    // Room for a USB adapter's device path whatever the system reports later.
    ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBox1->setMinimumContentsLength(12);
    // "COMn" names a device of this machine (NORVIK_COMn, else ttyS(n-1)); the
    // system's own ports follow by their device paths.
    for (int n = 1; n <= kComNames; ++n)
        ComboBox1->addItem(QStringLiteral("COM%1").arg(n));
    ComboBox1->setCurrentIndex(0);
    ComboBox1->aboutToPopup = [this] { RefreshPortList(); };
    grid->addWidget(ComboBox1, 1, 7);

    rbTCPIP = new QRadioButton(QStringLiteral("Network"), Panel1);
    rbTCPIP->setObjectName(QStringLiteral("rbTCPIP"));
    grid->addWidget(rbTCPIP, 2, 5);
    edtIP = AddGridEdit(grid, 2, 6, AddLabel(Panel1, QStringLiteral("IP:")), "edtIP", QString(), 130, address);
    edtPort = AddGridEdit(grid, 3, 6, AddLabel(Panel1, QStringLiteral("Port:")), "edtPort", QStringLiteral("1001"), 60,
                          number, Qt::AlignLeft);

    // The three link buttons share one parent, so exactly one is checked.
    for (QRadioButton *rb : {rbModem, rbSerial, rbTCPIP})
        connect(rb, &QRadioButton::clicked, this, &TfrmBurn::rbModemClick);

    // Firmware file and clock, aligned on their labels.
    auto *rows = new QGridLayout;
    rows->setContentsMargins(8, 2, 2, 0);
    rows->setHorizontalSpacing(4);
    rows->setVerticalSpacing(6);
    rows->setColumnMinimumWidth(0, 40);
    panel2->addLayout(rows);

    label = AddLabel(Panel2, QStringLiteral("Path:"));
    rows->addWidget(label, 0, 0);
    auto *pathRow = new QHBoxLayout;
    pathRow->setSpacing(6);
    rows->addLayout(pathRow, 0, 1);
    edtPath = Labelled(AddEdit(Panel2, "edtPath", QString()), label);
    pathRow->addWidget(edtPath, 1);
    BitBtn1 = AddButton(Panel2, "BitBtn1", QString(), 30, 26);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    BitBtn1->setToolTip(QStringLiteral("Browse for a HEX file"));
    BitBtn1->setAccessibleName(BitBtn1->toolTip());
    connect(BitBtn1, &QPushButton::clicked, this, &TfrmBurn::BitBtn1Click);
    pathRow->addWidget(BitBtn1);
    // The info line describes the file the field names, typed or pasted, so a
    // confirmation never stands under another file's type code and version.
    connect(edtPath, &QLineEdit::textChanged, this, [this] { ShowHexFileInfo(false); });

    labHexInfo = new norvik::TSteadyLabel(QString(), QStringLiteral("Hex File Info: Type code = 65535, Version = 255.255"),
                                          Panel2);
    labHexInfo->setObjectName(QStringLiteral("labHexInfo"));
    labHexInfo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette green = labHexInfo->palette();
    green.setColor(QPalette::WindowText, QColor(0x00, 0x80, 0x00));
    labHexInfo->setPalette(green);
    rows->addWidget(labHexInfo, 1, 1);

    // Clock.
    label = AddLabel(Panel2, QStringLiteral("Date:"));
    rows->addWidget(label, 2, 0);
    auto *clockRow = new QHBoxLayout;
    clockRow->setSpacing(6);
    rows->addLayout(clockRow, 2, 1);
    dt_date = Labelled(new QDateEdit(Panel2), label);
    dt_date->setObjectName(QStringLiteral("dt_date"));
    dt_date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    dt_date->setCalendarPopup(true);
    // The controller's clock keeps the year as one byte counted from 2000.
    dt_date->setDateRange(QDate(2000, 1, 1), QDate(2255, 12, 31));
    dt_date->setMinimumWidth(110);
    clockRow->addWidget(dt_date);

    label = AddLabel(Panel2, QStringLiteral("Time:"));
    label->setIndent(10);
    clockRow->addWidget(label);
    dt_time = Labelled(new QTimeEdit(Panel2), label);
    dt_time->setObjectName(QStringLiteral("dt_time"));
    dt_time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    dt_time->setMinimumWidth(96);
    clockRow->addWidget(dt_time);
    clockRow->addSpacing(10);

    CheckBox8 = new QCheckBox(QStringLiteral("Sync &PC"), Panel2);
    CheckBox8->setObjectName(QStringLiteral("CheckBox8"));
    connect(CheckBox8, &QCheckBox::toggled, this, &TfrmBurn::CheckBox8Click);
    clockRow->addWidget(CheckBox8);
    clockRow->addStretch(1);

    btnOK = AddButton(Panel2, "btnOK", QStringLiteral("Set Clock"), 146, 28);
    connect(btnOK, &QPushButton::clicked, this, &TfrmBurn::btnOKClick);
    clockRow->addWidget(btnOK);

    // Actions.
    panel2->addSpacing(12);
    auto *actions = new QHBoxLayout;
    actions->setContentsMargins(8, 0, 8, 0);
    actions->setSpacing(8);
    panel2->addLayout(actions);
    btnWriteSNID = AddButton(Panel2, "btnWriteSNID", QStringLiteral("Write SN + ID"), 134, 38);
    connect(btnWriteSNID, &QPushButton::clicked, this, &TfrmBurn::btnWriteSNIDClick);

    btnCheckVersion = AddButton(Panel2, "btnCheckVersion", QStringLiteral("&Controller Info"), 134, 38);
    btnCheckVersion->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    connect(btnCheckVersion, &QPushButton::clicked, this, &TfrmBurn::btnCheckVersionClick);

    btnDownload = AddButton(Panel2, "btnDownload", QStringLiteral("&Download"), 134, 38);
    btnDownload->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    btnDownload->setDefault(true);
    connect(btnDownload, &QPushButton::clicked, this, &TfrmBurn::btnDownloadClick);

    btnExit = AddButton(Panel2, "btnExit", QStringLiteral("E&xit"), 134, 38);
    btnExit->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    connect(btnExit, &QPushButton::clicked, this, &TfrmBurn::btnExitClick);
    for (QPushButton *button : {btnWriteSNID, btnCheckVersion, btnDownload, btnExit})
        actions->addWidget(button, 1);

    panel2->addSpacing(62);
    labVersion = AddLabel(Panel2, kVersionNotice);
    labVersion->setObjectName(QStringLiteral("labVersion"));
    labVersion->setEnabled(false);
    labVersion->setIndent(8);
    panel2->addWidget(labVersion);

    RefreshPortList();
}

