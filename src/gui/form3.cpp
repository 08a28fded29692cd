#include "gui/form3.h"

#include "gui/make_button.h"
#include "view/bar_painter.h"
#include "view/graph_painter.h"
#include "gui/picture_box.h"
#include "gui/dialog_keys.h"
#include "gui/form4.h"
#include "core/proxy_choice.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace {
// The line speeds offered as options, in Kbit/s.
constexpr int FixedSpeeds[] = {56, 64, 128, 256, 512, 1024};
constexpr int OtherSpeedId = 0;
// Number of samples the graph preview shows.
constexpr int GraphSamples = 50;

QStringList zeroSamples()
{
    return QStringList(GraphSamples, QStringLiteral("0"));
}
} // namespace

Form3::Form3(QWidget *parent)
    : QWidget(parent, Qt::Dialog)
    , m_random(quint32(QDateTime::currentMSecsSinceEpoch() & 0xffffffff))
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Options"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *layout = new QVBoxLayout(this);

    Choix = new QTabBar(this);
    Choix->setObjectName(QStringLiteral("Choix"));
    Choix->addTab(QStringLiteral("Main options"));
    Choix->addTab(QStringLiteral("Progress bar options"));
    Choix->addTab(QStringLiteral("Graphics options"));
    layout->addWidget(Choix);

    buildMain();
    buildBarre();
    buildGraph();
    // The frames are stacked: the dialog is as large as the largest one
    // whichever tab shows, so visiting the tabs never resizes it.
    m_frames = new QStackedWidget(this);
    for (QGroupBox *frame : {Frm_Main, Frm_Barre, Frm_Graph})
        m_frames->addWidget(frame);
    layout->addWidget(m_frames);

    Txt_From_Form2 = new QLineEdit(this);
    Txt_From_Form2->setObjectName(QStringLiteral("Txt_From_Form2"));
    Txt_From_Form2->hide();

    addOkCancel(layout, this, &Cmd_OK, &Cmd_Annuler);

    connect(Choix, &QTabBar::currentChanged, this, &Form3::showFrameForTab);
    connect(Cmd_OK, &QPushButton::clicked, this, &Form3::okClicked);
    connect(Cmd_Annuler, &QPushButton::clicked, this, &QWidget::close);
    new DialogKeys(this, Cmd_OK, Cmd_Annuler);
    showFrameForTab(Choix->currentIndex());

    applyValues(OptionValues::load());

    Timer_Barre = new QTimer(this);
    Timer_Barre->setObjectName(QStringLiteral("Timer_Barre"));
    Timer_Barre->setInterval(100);
    connect(Timer_Barre, &QTimer::timeout, this, &Form3::timerBarreTick);
    Timer_Barre->start();

    Timer_Graph = new QTimer(this);
    Timer_Graph->setObjectName(QStringLiteral("Timer_Graph"));
    Timer_Graph->setInterval(500);
    connect(Timer_Graph, &QTimer::timeout, this, &Form3::timerGraphTick);
    Timer_Graph->start();
}

void Form3::buildMain()
{
    Frm_Main = new QGroupBox(QStringLiteral("Main options"), this);
    Frm_Main->setObjectName(QStringLiteral("Frm_Main"));
    auto *grid = new QGridLayout(Frm_Main);

    grid->addWidget(new QLabel(QStringLiteral("Download path:"), Frm_Main), 0, 0);
    Txt_Download_Path = new QLineEdit(Frm_Main);
    Txt_Download_Path->setObjectName(QStringLiteral("Txt_Download_Path"));
    Command1 = makeButton(QStringLiteral("Command1"), QStringLiteral("Edit..."), Frm_Main);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(Txt_Download_Path, 1);
    pathRow->addWidget(Command1);
    grid->addLayout(pathRow, 0, 1);
    connect(Txt_Download_Path, &QLineEdit::textChanged, Txt_Download_Path, &QWidget::setToolTip);
    connect(Command1, &QPushButton::clicked, this, &Form3::openFolderChooser);

    // The pack-size group starts with no button checked: a stored size that is
    // none of the three leaves it that way.
    grid->addWidget(new QLabel(QStringLiteral("Pack size:"), Frm_Main), 1, 0, Qt::AlignTop);
    m_packGroup = new QButtonGroup(this);
    auto *packRow = new QHBoxLayout;
    auto addPack = [&](QRadioButton *&button, const char *name, const QString &text, qint64 bytes) {
        button = new QRadioButton(text, Frm_Main);
        button->setObjectName(QLatin1String(name));
        m_packGroup->addButton(button, int(bytes));
        packRow->addWidget(button);
    };
    addPack(Opt_Pack_5mb, "Opt_Pack_5mb", QStringLiteral("500 Kb  (recommended)"), OptionValues::Pack500Kb);
    addPack(Opt_Pack_1mb, "Opt_Pack_1mb", QStringLiteral("1 Mb"), OptionValues::Pack1Mb);
    addPack(Opt_Pack_2mb, "Opt_Pack_2mb", QStringLiteral("2 Mb"), OptionValues::Pack2Mb);
    packRow->addStretch();
    grid->addLayout(packRow, 1, 1);

    grid->addWidget(new QLabel(QStringLiteral("Modem speed:"), Frm_Main), 2, 0, Qt::AlignTop);
    m_modemGroup = new QButtonGroup(this);
    auto *modemGrid = new QGridLayout;
    int n = 0;
    for (int speed : FixedSpeeds) {
        auto *b = new QRadioButton(QString::number(speed) + QStringLiteral(" K"), Frm_Main);
        b->setObjectName(QStringLiteral("Opt_Modem_%1k").arg(speed));
        m_modemGroup->addButton(b, speed);
        modemGrid->addWidget(b, n / 4, n % 4);
        ++n;
        // A fixed speed chosen: the typed speed is not used.
        connect(b, &QRadioButton::toggled, this, [this, speed](bool on) {
            if (!on)
                return;
            Txt_Modem_Other->setEnabled(false);
            Txt_Modem_Speed->setText(QString::number(speed));
        });
    }
    Opt_Modem_Other = new QRadioButton(QStringLiteral("Other"), Frm_Main);
    Opt_Modem_Other->setObjectName(QStringLiteral("Opt_Modem_Other"));
    m_modemGroup->addButton(Opt_Modem_Other, OtherSpeedId);
    Txt_Modem_Other = new QLineEdit(QStringLiteral("33.6"), Frm_Main);
    Txt_Modem_Other->setObjectName(QStringLiteral("Txt_Modem_Other"));
    Txt_Modem_Other->setEnabled(false);
    auto *otherRow = new QHBoxLayout;
    otherRow->addWidget(Opt_Modem_Other);
    otherRow->addWidget(Txt_Modem_Other);
    modemGrid->addLayout(otherRow, n / 4, n % 4, 1, 2);
    grid->addLayout(modemGrid, 2, 1);

    grid->addWidget(new QLabel(QStringLiteral("Proxy:"), Frm_Main), 3, 0);
    Txt_Proxy = new QLineEdit(Frm_Main);
    Txt_Proxy->setObjectName(QStringLiteral("Txt_Proxy"));
    Txt_Proxy->setPlaceholderText(QStringLiteral("http://user@host:3128"));
    Txt_Proxy_Password = new QLineEdit(Frm_Main);
    Txt_Proxy_Password->setObjectName(QStringLiteral("Txt_Proxy_Password"));
    Txt_Proxy_Password->setEchoMode(QLineEdit::Password);
    grid->addWidget(Txt_Proxy, 3, 1);
    auto *proxyHint = new QLabel(QStringLiteral("Empty: the proxy of the environment (http_proxy, https_proxy, no_proxy). "
                                                "\"none\": no proxy."), Frm_Main);
    proxyHint->setWordWrap(true);
    grid->addWidget(proxyHint, 4, 1);
    grid->addWidget(new QLabel(QStringLiteral("Proxy password:"), Frm_Main), 5, 0);
    auto *passwordRow = new QHBoxLayout;
    passwordRow->addWidget(Txt_Proxy_Password, 1);
    passwordRow->addStretch(1);
    grid->addLayout(passwordRow, 5, 1);
    connect(Txt_Proxy, &QLineEdit::editingFinished, this, &Form3::hideProxyPassword);

    // The frame is as tall as the tallest of the three: its rows keep to the top.
    grid->setRowStretch(6, 1);

    // Holds the chosen line speed, whichever button gave it.
    Txt_Modem_Speed = new QLineEdit(Frm_Main);
    Txt_Modem_Speed->setObjectName(QStringLiteral("Txt_Modem_Speed"));
    Txt_Modem_Speed->hide();

    connect(Opt_Modem_Other, &QRadioButton::toggled, this, [this](bool on) {
        if (!on)
            return;
        Txt_Modem_Other->setEnabled(true);
        Txt_Modem_Speed->setText(Txt_Modem_Other->text());
    });
    connect(Txt_Modem_Other, &QLineEdit::textChanged, this, &Form3::modemOtherChanged);
    connect(Txt_Modem_Speed, &QLineEdit::textChanged, this, &Form3::modemSpeedChanged);
}

void Form3::buildBarre()
{
    Frm_Barre = new QGroupBox(QStringLiteral("Progress bar options"), this);
    Frm_Barre->setObjectName(QStringLiteral("Frm_Barre"));
    auto *grid = new QGridLayout(Frm_Barre);

    auto makeBar = [this](const char *name) {
        auto *bar = new PictureBox(Frm_Barre);
        bar->setObjectName(QLatin1String(name));
        bar->setFixedSize(320, 20);
        return bar;
    };
    Barre1 = makeBar("Barre1");
    Barre2 = makeBar("Barre2");
    auto *mainBack = makeButton(QStringLiteral("Cmd_Main_Bar_1"), QStringLiteral("Main bar back color..."), Frm_Barre);
    auto *mainFor = makeButton(QStringLiteral("Cmd_Main_Bar_2"), QStringLiteral("Main bar for color..."), Frm_Barre);
    auto *secBack = makeButton(QStringLiteral("Cmd_Sec_Bar_1"), QStringLiteral("Second bar back color..."), Frm_Barre);
    auto *secFor = makeButton(QStringLiteral("Cmd_Sec_Bar_2"), QStringLiteral("Second bar for color..."), Frm_Barre);
    auto *byDefault = makeButton(QStringLiteral("Cmd_Barre_Default"), QStringLiteral("Default"), Frm_Barre);

    grid->addWidget(Barre1, 0, 0, 1, 2);
    grid->addWidget(mainBack, 1, 0);
    grid->addWidget(mainFor, 1, 1);
    grid->addWidget(Barre2, 2, 0, 1, 2);
    grid->addWidget(secBack, 3, 0);
    grid->addWidget(secFor, 3, 1);
    grid->addWidget(byDefault, 4, 1);
    grid->setRowStretch(5, 1);

    connect(mainBack, &QPushButton::clicked, this, [this] { chooseColor(Barre1, true); });
    connect(mainFor, &QPushButton::clicked, this, [this] { chooseColor(Barre1, false); });
    connect(secBack, &QPushButton::clicked, this, [this] { chooseColor(Barre2, true); });
    connect(secFor, &QPushButton::clicked, this, [this] { chooseColor(Barre2, false); });
    connect(byDefault, &QPushButton::clicked, this, [this] {
        const OptionValues d;   // every option at its default
        Barre1->setBackColor(colorFromPacked(d.mainBarreBack));
        Barre2->setBackColor(colorFromPacked(d.secBarreBack));
        Barre1->setForeColor(colorFromPacked(d.mainBarreFor));
        Barre2->setForeColor(colorFromPacked(d.secBarreFor));
        paintBars();
    });
}

void Form3::buildGraph()
{
    Frm_Graph = new QGroupBox(QStringLiteral("Graphs options"), this);
    Frm_Graph->setObjectName(QStringLiteral("Frm_Graph"));
    auto *grid = new QGridLayout(Frm_Graph);

    Graph = new PictureBox(Frm_Graph);
    Graph->setObjectName(QStringLiteral("Graph"));
    Graph->setFixedSize(320, 100);
    Chk_Show_Modem = new QCheckBox(QStringLiteral("Show modem 10K (recommended)"), Frm_Graph);
    Chk_Show_Modem->setObjectName(QStringLiteral("Chk_Show_Modem"));
    auto *back = makeButton(QStringLiteral("Cmd_Graph_back"), QStringLiteral("Graph back color..."), Frm_Graph);
    auto *fore = makeButton(QStringLiteral("Cmd_Graph_for"), QStringLiteral("Graph for color..."), Frm_Graph);
    auto *modem = makeButton(QStringLiteral("Cmd_Graph_modem_color"), QStringLiteral("Graph modem color..."), Frm_Graph);
    auto *byDefault = makeButton(QStringLiteral("Cmd_Graph_Default"), QStringLiteral("Default"), Frm_Graph);

    grid->addWidget(Graph, 0, 0, 1, 3);
    grid->addWidget(Chk_Show_Modem, 1, 0, 1, 3);
    grid->addWidget(back, 2, 0);
    grid->addWidget(fore, 2, 1);
    grid->addWidget(modem, 2, 2);
    grid->addWidget(byDefault, 3, 2);
    grid->setRowStretch(4, 1);

    Lst_Graph = zeroSamples();

    connect(Chk_Show_Modem, &QCheckBox::toggled, this, &Form3::drawGraphPreview);
    connect(back, &QPushButton::clicked, this, [this] { chooseColor(Graph, true); });
    connect(fore, &QPushButton::clicked, this, [this] { chooseColor(&m_graphColumnColor); });
    connect(modem, &QPushButton::clicked, this, [this] { chooseColor(&m_modemLineColor); });
    connect(byDefault, &QPushButton::clicked, this, [this] {
        const OptionValues d;
        Chk_Show_Modem->setChecked(d.showModem);
        Graph->setBackColor(colorFromPacked(d.graphBack));
        m_graphColumnColor = colorFromPacked(d.graphFor);
        m_modemLineColor = colorFromPacked(d.graphModem);
        drawGraphPreview();
    });
}

void Form3::applyValues(const OptionValues &v)
{
    Txt_Download_Path->setText(v.filePath);

    m_loadedPackSize = v.packSize;
    if (QAbstractButton *b = m_packGroup->button(OptionValues::isOfferedPackSize(v.packSize) ? int(v.packSize) : -1)) {
        b->setChecked(true);
    } else {
        // An exclusive group cannot uncheck its last button; lift that briefly.
        m_packGroup->setExclusive(false);
        for (QAbstractButton *p : m_packGroup->buttons())
            p->setChecked(false);
        m_packGroup->setExclusive(true);
    }

    const double speed = OptionValues::numberIn(v.modemSpeed);
    QAbstractButton *fixed = nullptr;
    for (int s : FixedSpeeds) {
        if (speed == s)
            fixed = m_modemGroup->button(s);
    }
    if (fixed) {
        fixed->setChecked(true);
        Txt_Modem_Speed->setText(QString::number(int(speed)));
    } else {
        Opt_Modem_Other->setChecked(true);
        Txt_Modem_Other->setText(v.modemSpeed);
        Txt_Modem_Speed->setText(Txt_Modem_Other->text());
        Txt_Modem_Other->setEnabled(true);
    }

    Chk_Show_Modem->setChecked(v.showModem);
    Txt_Proxy->setText(v.proxy);
    Txt_Proxy_Password->clear();
    hideProxyPassword();
    Txt_Proxy->home(false);   // the scheme and host in view, not the port

    Barre1->setBackColor(colorFromPacked(v.mainBarreBack));
    Barre2->setBackColor(colorFromPacked(v.secBarreBack));
    Barre1->setForeColor(colorFromPacked(v.mainBarreFor));
    Barre2->setForeColor(colorFromPacked(v.secBarreFor));
    Graph->setBackColor(colorFromPacked(v.graphBack));
    m_graphColumnColor = colorFromPacked(v.graphFor);
    m_modemLineColor = colorFromPacked(v.graphModem);

    paintBars();
    drawGraphPreview();
}

OptionValues Form3::values() const
{
    OptionValues v;
    v.filePath = Txt_Download_Path->text();
    const int checkedPack = m_packGroup->checkedId();
    v.packSize = checkedPack == -1 ? m_loadedPackSize : qint64(checkedPack);
    v.modemSpeed = Txt_Modem_Speed->text();
    v.showModem = Chk_Show_Modem->isChecked();
    v.mainBarreBack = packedFromColor(Barre1->backColor());
    v.secBarreBack = packedFromColor(Barre2->backColor());
    v.mainBarreFor = packedFromColor(Barre1->foreColor());
    v.secBarreFor = packedFromColor(Barre2->foreColor());
    v.graphBack = packedFromColor(Graph->backColor());
    v.graphFor = packedFromColor(m_graphColumnColor);
    v.graphModem = packedFromColor(m_modemLineColor);
    v.proxy = Txt_Proxy->text().trimmed();
    if (const QString password = Txt_Proxy_Password->text(); !password.isEmpty() && !v.proxy.isEmpty()
        && v.proxy.compare(QLatin1String("none"), Qt::CaseInsensitive) != 0) {
        const bool scheme = v.proxy.contains(QLatin1String("://"));
        QUrl url(scheme ? v.proxy : QStringLiteral("http://") + v.proxy);
        url.setPassword(password);
        v.proxy = url.toString();
        if (!scheme)
            v.proxy.remove(0, 7);
    }
    return v;
}

void Form3::setFromNewProject(const QString &marker)
{
    Txt_From_Form2->setText(marker);
}

QString Form3::fromNewProject() const
{
    return Txt_From_Form2->text();
}

void Form3::showFrameForTab(int index)
{
    // Tab 1 is the main frame, tab 3 the graph frame, anything else the bars.
    QGroupBox *shown = index == 0 ? Frm_Main : index == 2 ? Frm_Graph : Frm_Barre;
    m_frames->setCurrentWidget(shown);
}

void Form3::modemOtherChanged()
{
    if (!m_replacingModemOther && !OptionValues::isNumeric(Txt_Modem_Other->text())) {
        showNotNumeric();
        m_replacingModemOther = true;
        Txt_Modem_Other->setText(QLocale().toString(33.6));
        m_replacingModemOther = false;
    }
    Txt_Modem_Speed->setText(Txt_Modem_Other->text());
}

void Form3::modemSpeedChanged(const QString &speed)
{
    Chk_Show_Modem->setText(QStringLiteral("Show modem ") + speed + QStringLiteral("K (recommended)"));
    // The old samples were drawn on the old scale.
    Lst_Graph = zeroSamples();
}

void Form3::showNotNumeric()
{
    // Not modal to the application, so the event loop (and the previews) go on.
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"),
                                QStringLiteral("Please enter only numeric informations !"),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void Form3::chooseColor(const QColor &current, std::function<void(const QColor &)> apply)
{
    // Window-modal, without an event loop of its own: the previews keep
    // running and the button's handler has returned before the user chooses.
    auto *dlg = new QColorDialog(current, this);
    dlg->setObjectName(QStringLiteral("ColorDialog"));
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    connect(dlg, &QColorDialog::colorSelected, this, [apply](const QColor &c) {
        if (c.isValid())
            apply(c);
    });
    dlg->open();
}

void Form3::chooseColor(PictureBox *box, bool background)
{
    chooseColor(background ? box->backColor() : box->foreColor(), [this, box, background](const QColor &c) {
        if (background)
            box->setBackColor(c);
        else
            box->setForeColor(c);
        if (box == Graph)
            drawGraphPreview();
        else
            paintBars();
    });
}

void Form3::chooseColor(QColor *field)
{
    chooseColor(*field, [this, field](const QColor &c) {
        *field = c;
        drawGraphPreview();
    });
}

void Form3::paintBars()
{
    Barre1->dessineBarre(m_previewCounter);
    Barre2->dessineBarre(m_previewCounter);
}

void Form3::timerBarreTick()
{
    // 0, 1, ..., 100, 0, ...: 101 steps per round.
    ++m_previewCounter;
    if (m_previewCounter == 101)
        m_previewCounter = 0;
    paintBars();
}

void Form3::timerGraphTick()
{
    const double m = OptionValues::numberIn(Txt_Modem_Speed->text());
    if (!Lst_Graph.isEmpty())
        Lst_Graph.removeFirst();
    const double sample = std::floor(m * m_random.generateDouble() + m / 2);
    Lst_Graph.append(QString::number(qint64(sample)));
    drawGraphPreview();
}

void Form3::drawGraphPreview()
{
    GraphPainter::Style style;
    style.background = Graph->backColor();
    style.columns = m_graphColumnColor;
    style.modem = m_modemLineColor;
    style.showModem = Chk_Show_Modem->isChecked();
    style.modemEverywhere = true;
    // Whole Kbit/s: a typed fraction such as 33.6 draws as 33.
    const double m = OptionValues::numberIn(Txt_Modem_Speed->text());
    style.modemSpeed = int(qBound(0.0, m, double(std::numeric_limits<int>::max())));
    // One picture only: the preview's samples decide where columns are drawn.
    GraphPainter::draw(nullptr, &Graph->image(), {}, Lst_Graph, style);
    Graph->refresh();
}

void Form3::openFolderChooser()
{
    hide();
    auto *chooser = new Form4(this);
    connect(chooser, &Form4::pathChosen, Txt_Download_Path, &QLineEdit::setText);
    connect(chooser, &Form4::unloaded, this, &QWidget::show);
    DialogKeys::centreOn(chooser, this);
    chooser->show();
}

void Form3::hideProxyPassword()
{
    const QString text = Txt_Proxy->text().trimmed();
    const bool scheme = text.contains(QLatin1String("://"));
    QUrl url(scheme ? text : QStringLiteral("http://") + text);
    if (!url.isValid() || url.password().isEmpty())
        return;
    Txt_Proxy_Password->setText(url.password(QUrl::FullyDecoded));
    url.setPassword(QString());
    Txt_Proxy->setText(scheme ? url.toString() : url.toString().mid(7));
}

void Form3::okClicked()
{
    hideProxyPassword();
    // Named without its password: the message shows what the field shows.
    if (const QString why = ProxyChoice::problemWith(Txt_Proxy->text()); !why.isEmpty()) {
        Choix->setCurrentIndex(0);
        auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"),
                                    why + QStringLiteral(".\r\nWrite the proxy as http://host:port (with user@ before the "
                                                         "host when it wants a login), \"none\", or leave it empty."),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        connect(box, &QMessageBox::finished, Txt_Proxy, qOverload<>(&QWidget::setFocus));
        box->open();
        return;
    }
    OptionValues::save(values());
    close();
}

void Form3::closeEvent(QCloseEvent *event)
{
    if (!Txt_From_Form2->text().isEmpty()) {
        Txt_From_Form2->clear();
        emit returnToNewProject();
    } else {
        emit returnToMainWindow();
    }
    event->accept();
}
