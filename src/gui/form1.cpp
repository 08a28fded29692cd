#include "gui/form1.h"

#include "gui/make_button.h"
#include "app/native_host.h"
#include "app/url_listener.h"
#include "core/autostart.h"
#include "core/program_folder.h"
#include "core/settings.h"
#include "core/url_hand_off.h"
#include "core/winsock.h"
#include "gui/wait_window.h"
#include "view/bar_painter.h"
#include "view/failure_text.h"
#include "view/formatters.h"
#include "view/download_view.h"
#include "gui/picture_box.h"
#include "engine/cookie_file.h"
#include "engine/download_files.h"
#include "engine/download_manager.h"
#include "engine/url_helpers.h"
#include "engine/url_probe.h"
#include "engine/warm_connections.h"
#include "gui/dialog_keys.h"
#include "gui/form3.h"
#include "gui/form2.h"
#include "gui/login_dialog.h"
#include "gui/notifier.h"
#include "gui/stats.h"
#include "projects/project_file.h"
#include "projects/server_info.h"
#include "view/graph_painter.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

// Resources of a static library are registered by hand, outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(app);
}

namespace {
const QString kProduct = QStringLiteral("ZOV Kestra Download");
// A window that moved or changed size this recently may still be dragged by
// the user (the window manager tells no more than each move).
constexpr int kDragSettleMs = 400;

// text with cause put under its first line.
QString withCause(const QString &text, const QString &cause)
{
    if (cause.isEmpty())
        return text;
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.insert(1, cause);
    return lines.join(QStringLiteral("\r\n"));
}

// Twips (1/1440 inch) to pixels at the usual 96 dots per inch.
int twips(int t)
{
    return t * 96 / 1440;
}

QIcon rowImage(const QColor &fill, const QString &mark)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(fill);
    p.setPen(fill.darker(140));
    p.drawEllipse(1, 1, 14, 14);
    p.setPen(Qt::white);
    QFont f;
    f.setPixelSize(10);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, mark);
    return QIcon(pm);
}

// The program's icon: the installed theme's when there is one, else the
// picture built into the program (the same SVG the installation puts in the
// icon theme).
QIcon programIcon()
{
    initResources();
    return QIcon::fromTheme(QStringLiteral("zov-kestra-download"), QIcon(QStringLiteral(":/icons/zov-kestra-download.svg")));
}
} // namespace

Form1::Form1(const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent)
    , m_engine(new DownloadManager(this))
    , m_view(new DownloadView(this))
    , m_arguments(arguments)
{
    m_view->follow(*m_engine);
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kProduct);
    // The installed icon when the icon theme has it, else the same picture drawn here.
    // Every window of the program (dialogs too) and the tray icon wear it.
    QApplication::setWindowIcon(programIcon());
    setWindowIcon(programIcon());
    ImageList = {rowImage(QColor(0x2e, 0x8b, 0x3e), QStringLiteral("\u2713")),
                 rowImage(QColor(0x1f, 0x6f, 0xd0), QStringLiteral("\u2193")),
                 rowImage(QColor(0x8a, 0x8a, 0x8a), QStringLiteral("\u2026"))};
    m_notifier = new Notifier(this);
    connect(m_notifier, &Notifier::clicked, this, &Form1::Afficher_Fenetre);
    m_tabTimer = new QTimer(this);
    m_tabTimer->setInterval(100);
    connect(m_tabTimer, &QTimer::timeout, this, &Form1::applyPendingTab);
    buildMenu();
    buildFrames();
    buildWorking();
    wireEngine();
    wireProbe();
    selectTab(1);
    setAcceptDrops(true);
    Txt_Url->installEventFilter(this);

    // The hand-off listener opens with the window: the user's own socket,
    // and the loopback port only when the settings name one. Without it the
    // program works all the same; the user is told once why links cannot
    // arrive.
    m_listener = new UrlListener(this);
    Listen_Port = UrlHandOff::configuredPort();
    QString noFolder;
    const QString socketPath = UrlHandOff::socketPath(&noFolder);
    if (!m_listener->open(socketPath, Listen_Port))
        Lbl_Status_H->setText(QStringLiteral("Links from the browser cannot arrive: %1.")
                                  .arg(socketPath.isEmpty() ? noFolder : m_listener->failure()));
    connect(m_listener, &UrlListener::messageReceived, this, [this] { autoSelectTab(2); });
    connect(m_listener, &UrlListener::addressReceived, this, &Form1::onAddressReceived);
    connect(m_listener, &UrlListener::showRequested, this, [this] { bringToFront(true); });

    Timer_load = new QTimer(this);
    Timer_load->setObjectName(QStringLiteral("Timer_load"));
    Timer_load->setInterval(100);
    connect(Timer_load, &QTimer::timeout, this, &Form1::onTimerLoad);
    Timer_load->start();
    resize(640, 470);
}

Form1::~Form1()
{
    delete m_options.data();
    delete m_form6.data();
    delete m_form5.data();
    delete m_form2.data();
    delete m_stats.data();
}

void Form1::buildMenu()
{
    // Menus and their entries carry the names the program knows them by.
    const auto entry = [](QMenu *menu, const char *name, const QString &text) {
        QAction *a = text.isEmpty() ? menu->addSeparator() : menu->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    const auto popup = [this](const char *name, const QString &title) {
        auto *m = new QMenu(title, this);
        m->setObjectName(QString::fromLatin1(name));
        return m;
    };
    Mnu_Files = menuBar()->addMenu(QStringLiteral("&Files"));
    Mnu_Files->setObjectName(QStringLiteral("Mnu_Files"));
    Mnu_Options = entry(Mnu_Files, "Mnu_Options", QStringLiteral("Op&tions..."));
    tiret1 = entry(Mnu_Files, "tiret1", QString());
    Mnu_Exit = entry(Mnu_Files, "Mnu_Exit", QStringLiteral("&Exit"));
    connect(Mnu_Options, &QAction::triggered, this, &Form1::openOptions);
    connect(Mnu_Exit, &QAction::triggered, this, [this] { close(); });

    Mnu_Finished = popup("Mnu_Finished", QStringLiteral("MenuTermined"));
    Mnu_Open_File = entry(Mnu_Finished, "Mnu_Open_File", QStringLiteral("Open file"));
    Mnu_Open_Folder = entry(Mnu_Finished, "Mnu_Open_Folder", QStringLiteral("Open folder"));
    Mnu_T0 = entry(Mnu_Finished, "Mnu_T0", QString());
    Mnu_Stats = entry(Mnu_Finished, "Mnu_Stats", QStringLiteral("Show statistics"));
    Mnu_T1 = entry(Mnu_Finished, "Mnu_T1", QString());
    Mnu_Del_Stats = entry(Mnu_Finished, "Mnu_Del_Stats", QStringLiteral("Delete statistics"));

    Mnu_Pas_Finit = popup("Mnu_Pas_Finit", QStringLiteral("MenuNonTermined"));
    Mnu_Haut = entry(Mnu_Pas_Finit, "Mnu_Haut", QStringLiteral("Move up"));
    Mnu_Bas = entry(Mnu_Pas_Finit, "Mnu_Bas", QStringLiteral("Move down"));
    Mnu_T2 = entry(Mnu_Pas_Finit, "Mnu_T2", QString());
    Mnu_Cancel = entry(Mnu_Pas_Finit, "Mnu_Cancel", QStringLiteral("Cancel project"));
    connect(Mnu_Haut, &QAction::triggered, this, [this] { moveSelected(-1); });
    connect(Mnu_Bas, &QAction::triggered, this, [this] { moveSelected(1); });
    connect(Mnu_Cancel, &QAction::triggered, this, &Form1::cancelSelected);

    Mnu_Tray = popup("Mnu_Tray", QStringLiteral("Tray"));
    Mnu_Show = entry(Mnu_Tray, "Mnu_Show", QStringLiteral("Show"));
    Mnu_Action = entry(Mnu_Tray, "Mnu_Action", QStringLiteral("Pause"));
    Mnu_Action->setEnabled(false);
    Mnu_t5 = entry(Mnu_Tray, "Mnu_t5", QString());
    Mnu_Quittement = entry(Mnu_Tray, "Mnu_Quittement", QStringLiteral("Exit"));
    connect(Mnu_Show, &QAction::triggered, this, &Form1::Afficher_Fenetre);
    connect(Mnu_Quittement, &QAction::triggered, this, [this] { close(); });

    connect(Mnu_Open_File, &QAction::triggered, this, [this] { openFinished(false); });
    connect(Mnu_Open_Folder, &QAction::triggered, this, [this] { openFinished(true); });
    connect(Mnu_Stats, &QAction::triggered, this, &Form1::showStatistics);
    connect(Mnu_Del_Stats, &QAction::triggered, this, &Form1::deleteStatistics);
}

QLabel *Form1::addLabel(QWidget *parent, const QString &name, const QString &text)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(name);
    m_labels.insert(name, l);
    return l;
}

void Form1::buildFrames()
{
    auto *central = new QWidget(this);
    auto *v = new QVBoxLayout(central);
    Menu = new QTabBar(central);
    Menu->setObjectName(QStringLiteral("Menu"));
    Menu->addTab(QStringLiteral("About"));
    Menu->addTab(QStringLiteral("Projects"));
    Menu->addTab(QStringLiteral("Download"));
    Menu->setExpanding(false);
    v->addWidget(Menu);
    connect(Menu, &QTabBar::tabBarClicked, this, [this](int i) { selectTab(i + 1); });

    // One page per tab, stacked: the stack is as large as its largest page
    // whichever tab shows, so switching tabs never changes the window's size.
    m_pages = new QStackedWidget(central);
    m_pages->setObjectName(QStringLiteral("Pages"));
    v->addWidget(m_pages, 1);
    QVBoxLayout *page = nullptr;
    auto newPage = [&] {
        auto *w = new QWidget(m_pages);
        page = new QVBoxLayout(w);
        page->setContentsMargins(0, 0, 0, 0);
        m_pages->addWidget(w);
    };
    auto frame = [&](const char *name, const QString &title) {
        auto *g = new QGroupBox(title, central);
        g->setObjectName(QString::fromLatin1(name));
        page->addWidget(g);
        return g;
    };

    // About.
    newPage();
    Frm_Infos = frame("Frm_Infos", QString());
    {
        auto *h = new QHBoxLayout(Frm_Infos);
        Image1 = new QLabel(Frm_Infos);
        Image1->setObjectName(QStringLiteral("Image1"));
        Image1->setPixmap(programIcon().pixmap(96, 96));
        h->addWidget(Image1);
        auto *col = new QVBoxLayout;
        Label12 = addLabel(Frm_Infos, QStringLiteral("Label12"), kProduct);
        QFont big = Label12->font();
        big.setPointSizeF(big.pointSizeF() * 1.6);
        big.setBold(true);
        Label12->setFont(big);
        Label11 = addLabel(Frm_Infos, QStringLiteral("Label11"), QStringLiteral("Version 2.0 for Linux"));
        Label13 = addLabel(Frm_Infos, QStringLiteral("Label13"),
                           QStringLiteral("ZOV Kestra Download for Linux - the ZOV Kestra team"));
        for (QLabel *l : {Label12, Label11, Label13})
            col->addWidget(l);
        col->addStretch();
        h->addLayout(col, 1);
    }
    Frm_Infos2 = frame("Frm_Infos2", QStringLiteral("Options"));
    {
        auto *col = new QVBoxLayout(Frm_Infos2);
        auto box = [&](const char *name, const QString &text) {
            auto *c = new QCheckBox(text, Frm_Infos2);
            c->setObjectName(QString::fromLatin1(name));
            col->addWidget(c);
            return c;
        };
        ChK_Start = box("ChK_Start", QStringLiteral("On start, open automatically the tab named \"Projects\""));
        ChK_Tray = box("ChK_Tray", QStringLiteral("Use system tray icon (next to the clock)"));
        ChK_Startwindows = box("ChK_Startwindows", QStringLiteral("Start ZOV Kestra Download when I log in"));
        ChK_IEMenu = box("ChK_IEMenu", QStringLiteral("Add \"Download with ZOV Kestra Download...\" to the browsers' menus"));
        Lbl_BrowserHosts = addLabel(Frm_Infos2, QStringLiteral("Lbl_BrowserHosts"), QString());
        Lbl_BrowserHosts->setWordWrap(true);
        Lbl_BrowserHosts->setContentsMargins(ChK_IEMenu->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6, 0, 0, 0);
        Lbl_BrowserHosts->setForegroundRole(QPalette::PlaceholderText);
        col->addWidget(Lbl_BrowserHosts);
        col->addStretch();
        page->addStretch();
        connect(ChK_Tray, &QCheckBox::clicked, this, &Form1::onChkTray);
        connect(ChK_Start, &QCheckBox::clicked, this, &Form1::onChkStart);
        connect(ChK_Startwindows, &QCheckBox::clicked, this, &Form1::onChkStartwindows);
        connect(ChK_IEMenu, &QCheckBox::clicked, this, &Form1::onChkIEMenu);
    }

    // Projects.
    newPage();
    Frm_Main = frame("Frm_Main", QStringLiteral("Main menu"));
    {
        auto *g = new QGridLayout(Frm_Main);
        Label9 = addLabel(Frm_Main, QStringLiteral("Label9"), QStringLiteral("New projects:"));
        Txt_Url = new QLineEdit(QStringLiteral("http://www."), Frm_Main);
        Txt_Url->setObjectName(QStringLiteral("Txt_Url"));
        Cmd_add = makeButton(QStringLiteral("Cmd_add"), QStringLiteral("Add project"), Frm_Main);
        Lbl_Status_H = addLabel(Frm_Main, QStringLiteral("Lbl_Status_H"), QStringLiteral("Nothing to do"));
        g->addWidget(Label9, 0, 0);
        g->addWidget(Txt_Url, 0, 1);
        g->addWidget(Cmd_add, 0, 2);
        g->addWidget(Lbl_Status_H, 1, 1, 1, 2);
    }
    Frm_projects = frame("Frm_projects", QStringLiteral("Projects"));
    {
        auto *col = new QVBoxLayout(Frm_projects);
        auto view = [&](const char *name) {
            auto *t = new QTreeWidget(Frm_projects);
            t->setObjectName(QString::fromLatin1(name));
            t->setRootIsDecorated(false);
            t->setColumnCount(5);
            t->setSelectionMode(QAbstractItemView::SingleSelection);
            t->setContextMenuPolicy(Qt::CustomContextMenu);
            // A wider window widens the address, the column most often cut off.
            t->header()->setStretchLastSection(false);
            t->header()->setSectionResizeMode(2, QHeaderView::Stretch);
            col->addWidget(t);
            return t;
        };
        Lst_Main = view("Lst_Main");
        Lst_Main2 = view("Lst_Main2");
        connect(Lst_Main, &QTreeWidget::customContextMenuRequested, this, &Form1::onMainMenu);
        connect(Lst_Main2, &QTreeWidget::customContextMenuRequested, this, &Form1::onFinishedMenu);
    }

    // Download.
    newPage();
    // The values change while a download runs; each one has a fixed width
    // (that of the widest value it shows in practice) and takes no size from
    // its text, so neither the columns nor the bars move when it changes.
    auto fixedValue = [](QLabel *l, const QString &widest) {
        l->setFixedWidth(l->fontMetrics().horizontalAdvance(widest) + 4);
        l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        return l;
    };
    const QString widestSize = QStringLiteral("8,888.88 Mb/s");
    Frm_Download = frame("Frm_Download", QStringLiteral("Download"));
    {
        auto *g = new QGridLayout(Frm_Download);
        auto pair = [&](int row, int col, const char *cap, const QString &capText, const char *val,
                        const QString &valText) {
            g->addWidget(addLabel(Frm_Download, QString::fromLatin1(cap), capText), row, col);
            QLabel *value = addLabel(Frm_Download, QString::fromLatin1(val), valText);
            if (col == 0) {
                fixedValue(value, widestSize);
            } else {
                // The pack lines ("196 times 500.00 Kb and 304.00 Kb") are the
                // longest: their column takes the width the window has to spare.
                value->setMinimumWidth(
                    value->fontMetrics().horizontalAdvance(QStringLiteral("8888 times 2.00 Mb and 1,999.99 Kb")) + 4);
                value->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            }
            g->addWidget(value, row, col + 1);
        };
        pair(0, 0, "Label3", QStringLiteral("Total:"), "Lbl_Taille", QStringLiteral("0 Bytes"));
        pair(1, 0, "Label4", QStringLiteral("Downloaded:"), "Lbl_Taille2", QStringLiteral("0 Bytes"));
        pair(2, 0, "Label5", QStringLiteral("Time left:"), "Lbl_Time_R", QStringLiteral("00:00:00"));
        pair(0, 2, "Label6", QStringLiteral("Speed:"), "Lbl_Vitesse_MM", QStringLiteral("0.00 Kb/s"));
        pair(1, 2, "Label7", QStringLiteral("Total:"), "Lbl_Paquet", QStringLiteral("Nothing"));
        pair(2, 2, "Label8", QStringLiteral("To download:"), "Lbl_Paquet_2", QStringLiteral("Nothing"));
        g->setColumnStretch(3, 1);
        auto *frame2 = new QWidget(Frm_Download);
        frame2->setObjectName(QStringLiteral("Frame2"));
        auto *f2 = new QHBoxLayout(frame2);
        f2->setContentsMargins(0, 0, 0, 0);
        Cmd_Action = makeButton(QStringLiteral("Cmd_Action"), QStringLiteral("Pause"), frame2);
        Cmd_Action->setEnabled(false);
        // As wide as its widest caption, so "Pause" and "Resume" take one place.
        Cmd_Action->setText(QStringLiteral("Resume"));
        Cmd_Action->setFixedWidth(Cmd_Action->sizeHint().width() + 8);
        Cmd_Action->setText(QStringLiteral("Pause"));
        f2->addWidget(Cmd_Action);
        g->addWidget(frame2, 0, 4, 3, 1, Qt::AlignCenter);
        auto *line = new QFrame(Frm_Download);
        line->setObjectName(QStringLiteral("Line1"));
        line->setFrameShape(QFrame::HLine);
        g->addWidget(line, 3, 0, 1, 5);

        auto makeBar = [&](const char *name, int height) {
            auto *b = new PictureBox(Frm_Download);
            b->setObjectName(QString::fromLatin1(name));
            m_bars.insert(b->objectName(), b);
            b->setMinimumHeight(height);
            b->setMaximumHeight(height);
            return b;
        };
        Barre = makeBar("Barre", 20);
        g->addWidget(Barre, 4, 0, 1, 4);
        g->addWidget(fixedValue(addLabel(Frm_Download, QStringLiteral("Lbl_Time"), QStringLiteral("00:00:00")),
                                QStringLiteral("888:88:88")),
                     4, 4);
        auto *frame3 = new QGroupBox(Frm_Download);
        frame3->setObjectName(QStringLiteral("Frame3"));
        auto *f3 = new QGridLayout(frame3);
        PictureBox **slotBars[4] = {&Barre1, &Barre2, &Barre3, &Barre4};
        for (int n = 0; n < 4; ++n) {
            *slotBars[n] = makeBar(QStringLiteral("Barre%1").arg(n + 1).toLatin1().constData(), 16);
            (*slotBars[n])->setParent(frame3);
            f3->addWidget(*slotBars[n], n, 0);
            QLabel *st = addLabel(frame3, QStringLiteral("Lbl_Status_w%1").arg(n + 1), QStringLiteral("Nothing"));
            fixedValue(st, QStringLiteral("Downloading (1,999.99 Kb)..."));
            f3->addWidget(st, n, 1);
        }
        f3->setColumnStretch(0, 1);
        g->addWidget(frame3, 5, 0, 1, 5);
        QLabel *status = addLabel(Frm_Download, QStringLiteral("Lbl_Status_B"), QStringLiteral("Nothing"));
        status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        g->addWidget(status, 6, 0, 1, 5);
    }
    Frm_Graph = frame("Frm_Graph", QStringLiteral("Graphs"));
    {
        auto *g = new QGridLayout(Frm_Graph);
        Graph = new PictureBox(Frm_Graph);
        Graph->setObjectName(QStringLiteral("Graph"));
        Graph2 = new PictureBox(Frm_Graph);
        Graph2->setObjectName(QStringLiteral("Graph2"));
        for (PictureBox *p : {Graph, Graph2}) {
            p->setMinimumSize(200, 70);
            p->clear();
        }
        // Each graph above its speed: Graph2 draws the immediate speed, Graph
        // the average.
        g->addWidget(Graph2, 0, 0, 1, 3);
        g->addWidget(Graph, 0, 3, 1, 3);
        g->addWidget(addLabel(Frm_Graph, QStringLiteral("Label1"), QStringLiteral("Immediate speed:")), 1, 0);
        const QString widestBits = QStringLiteral("8888888 Kbits/s");
        g->addWidget(fixedValue(addLabel(Frm_Graph, QStringLiteral("Lbl_Vitesse_I"), QStringLiteral("0.00 Kb/s")), widestSize), 1, 1);
        g->addWidget(fixedValue(addLabel(Frm_Graph, QStringLiteral("Lbl_Vitesse_I2"), QStringLiteral("0.0 Kbits/s")), widestBits), 1, 2);
        g->addWidget(addLabel(Frm_Graph, QStringLiteral("Label2"), QStringLiteral("Average speed:")), 1, 3);
        g->addWidget(fixedValue(addLabel(Frm_Graph, QStringLiteral("Lbl_Vitesse_M"), QStringLiteral("0.00 Kb/s")), widestSize), 1, 4);
        g->addWidget(fixedValue(addLabel(Frm_Graph, QStringLiteral("Lbl_Vitesse_M2"), QStringLiteral("0.0 Kbits/s")), widestBits), 1, 5);
        // The two graphs share the width equally.
        g->setColumnStretch(0, 1);
        g->setColumnStretch(3, 1);
    }
    page->addStretch();
    setCentralWidget(central);
}

void Form1::buildWorking()
{
    // Controls the program uses as storage and transport; parented to a widget
    // that is never shown.
    Working = new QWidget(this);
    Working->setObjectName(QStringLiteral("Working"));
    Working->hide();
    Working->setGeometry(-2000, -2000, 10, 10);
    Txt_Numero_Selected = new QLineEdit(Working);
    Txt_Numero_Selected->setObjectName(QStringLiteral("Txt_Numero_Selected"));
    Chk_modem = new QCheckBox(QStringLiteral("Show modem capacity"), Working);
    Chk_modem->setObjectName(QStringLiteral("Chk_modem"));
    CMD_Creer_fichier = makeButton(QStringLiteral("CMD_Creer_fichier"), QStringLiteral("Fichier !"), Working);
    Photo = new PictureBox(Working);
    Photo->setObjectName(QStringLiteral("Photo"));
    Photo2 = new PictureBox(Working);
    Photo2->setObjectName(QStringLiteral("Photo2"));
}

void Form1::wireEngine()
{
    DisplayModel &d = m_view->display();
    connect(&d, &DisplayModel::labelChanged, this, [this](const QString &name, const QString &text) {
        if (QLabel *l = m_labels.value(name))
            l->setText(text);
        else if (name == QLatin1String("Cmd_Action")) {
            Cmd_Action->setText(text);
            Mnu_Action->setText(text);
        }
    });
    connect(Cmd_Action, &QPushButton::clicked, m_engine, &DownloadManager::actionClicked);
    connect(Mnu_Action, &QAction::triggered, m_engine, &DownloadManager::actionClicked);
    connect(m_engine, &DownloadManager::actionEnabledChanged, Mnu_Action, &QAction::setEnabled);
    connect(CMD_Creer_fichier, &QPushButton::clicked, m_engine, &DownloadManager::joinFinalFile);
    connect(&d, &DisplayModel::barChanged, this, &Form1::paintBar);
    // The running project's row follows the whole-file bar and the speed.
    connect(&d, &DisplayModel::barChanged, this, [this](const QString &name) {
        if (name == QLatin1String("Barre"))
            showRunningProgress();
    });
    connect(&d, &DisplayModel::labelChanged, this, [this](const QString &name) {
        if (name == QLatin1String("Lbl_Vitesse_I") || name == QLatin1String("Cmd_Action"))
            showRunningProgress();
    });
    connect(&d, &DisplayModel::captionChanged, this, [this](const QString &caption) {
        setWindowTitle(caption);
        if (m_tray)
            m_tray->setToolTip(caption);
    });
    connect(m_engine, &DownloadManager::actionEnabledChanged, Cmd_Action, &QWidget::setEnabled);
    connect(m_engine, &DownloadManager::tabRequested, this, &Form1::autoSelectTab);
    connect(m_engine, &DownloadManager::displayReset, this, [this] {
        m_graphsDrawn = false;
        Graph->clear();
        Graph2->clear();
    });
    // The view draws the graphs for the snapshots at their fixed size; the
    // window draws the same samples at its boxes' size, in the screen's pixels.
    connect(&m_view->display(), &DisplayModel::graphsChanged, this, &Form1::drawGraphs);
    for (PictureBox *box : {Graph, Graph2}) {
        connect(box, &PictureBox::resized, this, [this] {
            if (m_graphsDrawn)
                drawGraphs();
        });
    }
    connect(Chk_modem, &QCheckBox::toggled, &m_view->graphs(), &SpeedGraphs::setShowModem);
    // A download that stopped on its own is told; a file changed on the
    // server cannot go on, and the user may start it over, keeping nothing of
    // the old one (the project goes and its address is probed again).
    connect(m_engine, &DownloadManager::downloadFailed, this, [this](DownloadFailure kind, const QString &detail) {
        const QString text = failureText(kind, detail);
        tellDesktop(QStringLiteral("Download stopped"),
                    m_engine->status().fileName + QLatin1Char('\n') + text.section(QStringLiteral("\r\n"), 0, 0));
        if (kind != DownloadFailure::ServerChanged) {
            showMessage(QStringLiteral("Error"), text, true);
            return;
        }
        const ProjectEntry *running = m_engine->store().current();
        if (!running)
            return;
        ask(QStringLiteral("Error"), text + QStringLiteral("\r\n\r\nDownload the new file from the start ?"),
            [this, name = running->name, url = running->url] {
            // Probed again at the address the user gave, with the login and
            // the lines (cookies...) the project kept: its files go with the
            // cancel. The box shows the address without the login.
            const ServerInfo kept = ServerInfo::read(m_engine->store().projectDir(name));
            const QString again = kept.askedAddress.isEmpty() ? url : kept.askedAddress;
            m_engine->queue().cancel(name);
            Txt_Url->setText(again);
            m_probeFromHandOff = false;
            m_probeTicket = 0;
            m_loginAsks = 0;
            m_askedLogin = kept.login;
            probeAddress(withLogin(again, kept.login), kept.headers);
        });
    });
    connect(m_engine, &DownloadManager::projectFinished, this, [this](const QString &, const QString &finalFile) {
        const QFileInfo file(finalFile);
        tellDesktop(QStringLiteral("Download finished"),
                    file.fileName() + QLatin1Char('\n') + QStringLiteral("in ") + QDir::toNativeSeparators(file.absolutePath()));
    });
    connect(&m_engine->store(), &ProjectStore::listsChanged, this, &Form1::Charger_Listes);
    for (const QString &name : DisplayModel::barNames())
        paintBar(name);
}

void Form1::wireProbe()
{
    // The probe is engine state owned by the DownloadManager; this window only
    // starts it and shows its progress and outcome.
    m_probe = &m_engine->probe();

    connect(Cmd_add, &QPushButton::clicked, this, &Form1::addProject);
    connect(Txt_Url, &QLineEdit::returnPressed, this, &Form1::addProject);

    // Only one probe at a time: the address box and the button stay disabled
    // until it has ended, whichever way.
    connect(m_probe, &UrlProbe::started, this, [this] {
        Lbl_Status_H->setText(QStringLiteral("Testing URL..."));
        Txt_Url->setEnabled(false);
        Cmd_add->setEnabled(false);
    });
    // A password typed into the login dialog never shows in the address box.
    connect(m_probe, &UrlProbe::urlTextChanged, this, [this](const QString &text) {
        Txt_Url->setText(m_askedLogin.isEmpty() ? text : withoutLogin(text));
    });
    connect(m_probe, &UrlProbe::failed, this, &Form1::onProbeFailed);
    connect(m_probe, &UrlProbe::succeeded, this, &Form1::onProbeSucceeded);
    connect(m_probe, &UrlProbe::finished, this, [this] {
        Txt_Url->setEnabled(true);
        Cmd_add->setEnabled(true);
        Lbl_Status_H->setText(QStringLiteral("Nothing to do"));
        QTimer::singleShot(0, this, &Form1::takeHandOff);
    });

    connect(&m_engine->queue(), &ProjectQueue::projectAdded, Txt_Url, &QLineEdit::clear);
    connect(&m_engine->queue(), &ProjectQueue::projectAdded, this, [this] { QTimer::singleShot(0, this, &Form1::takeHandOff); });
}

void Form1::addProject()
{
    m_probeFromHandOff = false;
    m_probeTicket = 0;
    m_loginAsks = 0;
    m_askedLogin.clear();
    probeAddress(Txt_Url->text(), {});
}

void Form1::probeAddress(const QString &address, const RequestHeaders &headers)
{
    m_probeAddress = address;
    m_probeHeaders = headers;
    m_probe->start(address, headers);
}

void Form1::onProbeFailed(const QString &title, const QString &text)
{
    // A download the browser offered stays the browser's: it is told why,
    // and goes on with it (with the site's session the browser has).
    if (const quint64 ticket = std::exchange(m_probeTicket, 0)) {
        const QString cause = probeCause(text);
        m_listener->answerProbe(ticket, false, cause.isEmpty() ? text : text + QStringLiteral(" (") + cause + ')');
        return;
    }
    // A 407 the proxy gave is the proxy's (its login goes into its address,
    // in the options); one that came from the server itself asks for the
    // server's login like a 401.
    const int status = m_probe->failureStatus();
    if ((status == 401 || (status == 407 && m_probe->probeSocket()->proxy().isDirect())) && m_loginAsks < MaxLoginAsks)
        askLogin(title, text);
    else if (status == 403 || m_probe->foundWebPage())
        offerCookies(title, text);
    else
        showMessage(title, withCause(text, probeCause(text)), true);
}

void Form1::askLogin(const QString &title, const QString &text)
{
    ++m_loginAsks;
    // The server that asked: the one of the address given, or another one a
    // redirection led to (the lines given for the first do not go there).
    const QString reached = m_probe->urlText();
    const bool given = sameServer(withoutLogin(UrlProbe::storedAddress(m_probeAddress)), withoutLogin(reached));
    const QString address = withoutLogin(given ? m_probeAddress : reached);
    const RequestHeaders headers = given ? m_probeHeaders : RequestHeaders();
    // The name of a refused login is shown again: the password is what was wrong.
    QString login;
    withoutLogin(given ? m_probeAddress : reached, &login);
    QByteArray user, password;
    splitLogin(login + QLatin1Char('@'), &user, &password);
    const QUrl server = QUrl::fromUserInput(UrlProbe::withoutScheme(address));
    auto *dlg = new LoginDialog(text.section(QStringLiteral("\r\n"), 0, 0),
                                server.host() + (server.port() > 0 ? QStringLiteral(":%1").arg(server.port()) : QString()),
                                QString::fromUtf8(user), this);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    // A handed-over address asks without taking the keyboard from the
    // program the user is typing in.
    if (m_probeFromHandOff)
        dlg->setAttribute(Qt::WA_ShowWithoutActivating);
    // No second probe and no queue move while the user answers.
    setEnabled(false);
    keepUsable(dlg);
    connect(dlg, &QDialog::finished, this, [this, dlg, title, text, address, headers](int result) {
        setEnabled(true);
        if (result != QDialog::Accepted) {
            showMessage(title, withCause(text, probeCause(text)), true);
            QTimer::singleShot(0, this, &Form1::takeHandOff);
            return;
        }
        m_askedLogin = loginText(dlg->user(), dlg->password());
        probeAddress(withLogin(address, m_askedLogin), headers);
    });
    DialogKeys::centreOn(dlg, this);
    dlg->open();
}

void Form1::offerCookies(const QString &title, const QString &text)
{
    QMessageBox *box = showMessage(title, withCause(text, probeCause(text))
                                              + QStringLiteral("\r\n\r\nA site that wants you logged in takes the cookies your "
                                                               "browser keeps for it: give them in a cookies.txt file "
                                                               "exported from the browser."), true);
    QPushButton *pick = box->addButton(QStringLiteral("Cookies file..."), QMessageBox::ActionRole);
    pick->setObjectName(QStringLiteral("Cmd_Cookies"));
    // The probe to repeat, whatever probes meanwhile.
    connect(pick, &QPushButton::clicked, this, [this, address = m_probeAddress, headers = m_probeHeaders] {
        auto *files = new QFileDialog(this, QStringLiteral("Cookies file"), QDir::homePath(),
                                      QStringLiteral("Cookie files (*.txt);;All files (*)"));
        files->setObjectName(QStringLiteral("CookiesFile"));
        files->setAttribute(Qt::WA_DeleteOnClose);
        files->setFileMode(QFileDialog::ExistingFile);
        keepUsable(files);
        connect(files, &QFileDialog::fileSelected, this, [this, address, headers](const QString &file) {
            bool read = false;
            const QByteArray cookies = CookieFile::headerFromFile(file, address, &read);
            RequestHeaders withCookies = headers;
            QString why;
            if (!read)
                why = QStringLiteral("The cookie file %1 cannot be read.").arg(file);
            else if (cookies.isEmpty())
                why = QStringLiteral("The cookie file %1 holds no cookie for this address (or only expired ones).").arg(file);
            if (!why.isEmpty() || !withCookies.add("Cookie", cookies, &why)) {
                showMessage(QStringLiteral("Error"), why, true);
                return;
            }
            probeAddress(address, withCookies);
        });
        files->open();
    });
}

QWidget *Form1::newProjectDialog() const
{
    return m_form2;
}

void Form1::onProbeSucceeded(const ProbeResult &result)
{
    // A browser that no longer waits has kept its own download.
    if (const quint64 ticket = std::exchange(m_probeTicket, 0); ticket && !m_listener->answerProbe(ticket, true)) {
        m_probeFromHandOff = false;
        return;
    }
    // While the user reads the dialog, the slots' connections open: a
    // download confirmed within a few seconds sends its first requests at once.
    if (!result.ftp && !m_engine->isDownloading())
        WarmConnections::open(result.url, 4);
    // The window stays disabled while the dialog is open: no second probe, and
    // the queue does not move (changeEvent() tells it).
    setEnabled(false);
    delete m_form2.data();
    auto *dlg = new Form2(this);
    keepUsable(dlg);
    m_form2 = dlg;
    // Everything the project is stored with is this probe's: the next
    // address may be in the address box by the time the user confirms.
    const QString name = result.projectName;
    const QString url = result.url;
    const qint64 size = result.fileSize;
    const ServerInfo server = result.serverInfo();
    connect(dlg, &Form2::downloadConfirmed, this, [this, name, url, size, server](const QByteArray &text) {
        m_engine->queue().addSoon(name, text, url, size, server);
    });
    connect(dlg, &Form2::unloaded, this, [this] {
        setEnabled(true);
        activateWindow();
    });
    dlg->fill(result);
    // An address from elsewhere comes while the user may be typing in another
    // program: its dialog shows above this window without taking the keyboard.
    if (std::exchange(m_probeFromHandOff, false))
        dlg->showWithoutKeyboard();
    DialogKeys::centreOn(dlg, this);
    dlg->show();
}

void Form1::paintBar(const QString &name)
{
    PictureBox *p = bar(name);
    if (!p)
        return;
    const DisplayModel::Bar &b = m_view->display().bar(name);
    p->setBackColor(b.back);
    p->setForeColor(b.fore);
    if (b.painted)
        p->dessineBarre(b.percent);
    else
        p->clear();
}

void Form1::selectTab(int index)
{
    const bool about = index == 1;
    const bool projects = index == 2;
    // The tab's page shows its two frames and hides the four others; any
    // index but 1 and 2 is the Download tab.
    QGroupBox *shown = about ? Frm_Infos : projects ? Frm_Main : Frm_Download;
    m_pages->setCurrentWidget(shown->parentWidget());
    Menu->setCurrentIndex(about ? 0 : projects ? 1 : 2);
}

void Form1::Charger_Listes()
{
    const ProjectStore &s = m_engine->store();
    auto fill = [this](QTreeWidget *view, const QList<ProjectStore::ListRow> &rows) {
        view->clear();
        for (const ProjectStore::ListRow &r : rows) {
            auto *item = new QTreeWidgetItem(view);
            if (r.image >= 1 && r.image <= ImageList.size())
                item->setIcon(0, ImageList.at(r.image - 1));
            item->setText(1, r.name);
            item->setText(2, r.url);
            // The whole name and address, also when the column cuts them off.
            item->setToolTip(1, r.name);
            item->setToolTip(2, r.url);
            item->setText(3, fileSizeText(r.bytes));
            item->setText(4, r.status);
            item->setTextAlignment(3, Qt::AlignCenter);
            item->setTextAlignment(4, Qt::AlignCenter);
        }
    };
    fill(Lst_Main, s.rowsMain());
    fill(Lst_Main2, s.rowsFinished());
    showRunningProgress();
}

void Form1::showRunningProgress()
{
    const ProjectEntry *running = m_engine->store().current();
    // Picked but not begun yet: the store's "Downloading" says enough.
    if (!running || !m_engine->isDownloading())
        return;
    QTreeWidgetItem *row = nullptr;
    for (int i = 0; i < Lst_Main->topLevelItemCount() && !row; ++i)
        if (Lst_Main->topLevelItem(i)->text(1) == running->name)
            row = Lst_Main->topLevelItem(i);
    if (!row)
        return;
    // The figures as the download frame shows them: the whole-file bar's
    // percentage and the immediate speed.
    const DisplayModel &d = m_view->display();
    const QString percent = QString::number(qRound(d.bar(QStringLiteral("Barre")).percent)) + QLatin1Char('%');
    const QString text = m_engine->isPaused() ? QStringLiteral("Paused, ") + percent
                                              : percent + QStringLiteral(", ") + d.label(QStringLiteral("Lbl_Vitesse_I"));
    if (row->text(4) != text)
        row->setText(4, text);
}

QMessageBox *Form1::showMessage(const QString &title, const QString &text, bool critical)
{
    auto *box = new QMessageBox(critical ? QMessageBox::Critical : QMessageBox::Information, title, text,
                                QMessageBox::Ok, this);
    keepUsable(box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("MessageBox"));
    box->show();
    return box;
}

void Form1::ask(const QString &title, const QString &text, const std::function<void()> &onYes)
{
    // Shown like every message of this window: the event loop, and with it a
    // running download, goes on while the question waits.
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Yes | QMessageBox::No, this);
    keepUsable(box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("MessageBox"));
    connect(box, &QMessageBox::finished, this, [box, onYes] {
        if (box->standardButton(box->clickedButton()) == QMessageBox::Yes)
            onYes();
    });
    box->show();
}

int Form1::selectMenuRow(QTreeWidget *view, const QPoint &pos)
{
    QTreeWidgetItem *item = view->itemAt(pos);
    if (!item)
        item = view->currentItem();
    if (!item)
        return 0;
    view->setCurrentItem(item);
    const int n = view->indexOfTopLevelItem(item) + 1;
    Txt_Numero_Selected->setText(QString::number(n));
    return n;
}

void Form1::onFinishedMenu(const QPoint &pos)
{
    if (selectMenuRow(Lst_Main2, pos) == 0)
        return;
    // What is no longer there cannot be opened.
    const QFileInfo file(finishedFile(selectedFinishedRow()->text(1)));
    Mnu_Open_File->setEnabled(file.isFile());
    Mnu_Open_Folder->setEnabled(file.dir().exists());
    Mnu_Finished->popup(Lst_Main2->viewport()->mapToGlobal(pos));
}

QString Form1::finishedFile(const QString &name) const
{
    // The name the file was saved under, as the project recorded it (or its
    // own name in its destination, for a project that recorded none: the
    // one the server gave it, or its address's).
    const ProjectRecord record = ProjectFile::parse(m_engine->store().readProjectFile(name));
    const ServerInfo server = ServerInfo::read(m_engine->store().projectDir(name));
    return DownloadFiles(name, record.path, server.name.isEmpty() ? Extract_FileName(record.url) : server.name).finalFile();
}

void Form1::openFinished(bool folder)
{
    const QTreeWidgetItem *row = selectedFinishedRow();
    if (!row)
        return;
    // The desktop's own programs: the file's viewer, the file manager.
    const QFileInfo file(finishedFile(row->text(1)));
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder ? file.absolutePath() : file.absoluteFilePath()));
}

QTreeWidgetItem *Form1::selectedFinishedRow() const
{
    return Lst_Main2->topLevelItem(Txt_Numero_Selected->text().toInt() - 1);
}

QWidget *Form1::statsWindow() const
{
    return m_stats;
}

void Form1::showStatistics()
{
    QTreeWidgetItem *row = selectedFinishedRow();
    if (!row || m_stats)
        return;
    auto *stats = new Stats(this);
    keepUsable(stats);
    m_stats = stats;
    // The lists must not change underneath the window while it is open.
    connect(stats, &Stats::loaded, this, [this] { setEnabled(false); });
    connect(stats, &Stats::unloaded, this, [this] {
        setEnabled(true);
        activateWindow();
    });
    const QString name = row->text(1);
    stats->showProject(name, row->text(2), row->text(3), m_engine->store().projectDir(name));
}

void Form1::deleteStatistics()
{
    QTreeWidgetItem *row = selectedFinishedRow();
    if (!row)
        return;
    const QString name = row->text(1);
    ask(QStringLiteral("Delete ?"), QStringLiteral("Do you really want to delete the statistics of ") + name + QStringLiteral(" ?"),
        [this, name] { m_engine->queue().removeFinished(name); });
}

void Form1::openOptions()
{
    if (m_engine->store().current()) {
        showMessage(QStringLiteral("ZOV Kestra download"),
                    QStringLiteral("You cannot access to this menu during a download !"), false);
        return;
    }
    if (m_options) {
        m_options->raise();
        m_options->activateWindow();
        return;
    }
    setEnabled(false);
    auto *dlg = new Form3(this);
    keepUsable(dlg);
    m_options = dlg;
    connect(dlg, &Form3::returnToMainWindow, this, [this] {
        setEnabled(true);
        activateWindow();
    });
    DialogKeys::centreOn(dlg, this);
    dlg->show();
}

void Form1::onTimerLoad()
{
    setEnabled(false);
    m_form6 = new WaitWindow(QStringLiteral("Form6"), QStringLiteral("ZOV Kestra Download is loading..."), this);
    keepUsable(m_form6);
    m_form6->show();
    Charger_Demarrage();
    setEnabled(true);
    m_form6->Stop_Now = true;
    m_form6->close();
    m_form6->deleteLater();
    activateWindow();
    setFocus();
    Timer_load->stop();
    if (m_arguments.join(QLatin1Char(' ')) == QLatin1String("-Startwin-"))
        showMinimized();
    // A download resumed at start-up runs with its own options: asking for
    // them now would only be refused while it runs.
    if (Options_Missing && !m_engine->isDownloading()) {
        QMessageBox *box = showMessage(kProduct,
                                       QStringLiteral("ZOV Kestra Download has detected that you have not "
                                                      "configured your options. Please config them before "
                                                      "downloading !"),
                                       false);
        connect(box, &QMessageBox::finished, this, &Form1::openOptions);
    }
    for (const char *b : {"Barre", "Barre4", "Barre3", "Barre2", "Barre1"})
        m_view->display().paintBar(QString::fromLatin1(b), 0);
    // Started with an address ("zov-kestra-download URL", as a file manager
    // or a browser hands it over): it is taken as a hand-off.
    if (m_arguments.size() == 1 && m_arguments.first() != QLatin1String("-Startwin-")) {
        selectTab(2);
        onAddressReceived({m_arguments.first(), {}, 0});
    }
    emit startupFinished();
}

void Form1::Charger_Demarrage()
{
    // Nothing runs yet: the download display starts idle.
    Cmd_Action->setEnabled(false);
    Mnu_Action->setEnabled(false);
    m_view->reset();
    const QString sentinel = QStringLiteral("--ZOV--");
    for (const char *key : {"FilePath", "packsize", "modemspeed"}) {
        if (Settings::read(QString::fromLatin1(key), sentinel) == sentinel)
            Options_Missing = true;
    }
    Settings::write(QStringLiteral("AppPath"), ProgramFolder::path());
    QDir().mkpath(ProgramFolder::projectsDir());

    Loading_Options = true;
    if (!Autostart::read().isEmpty())
        ChK_Startwindows->setChecked(true);
    showBrowserHosts();
    ChK_Tray->setChecked(Settings::readInt(QStringLiteral("Tray"), 1) != 0);
    Tray_Mode = ChK_Tray->isChecked();
    setTrayIcon(Tray_Mode);
    ChK_Start->setChecked(Settings::readInt(QStringLiteral("OnStartTab"), 0) != 0);
    Loading_Options = false;

    m_view->graphs().fillWithZeros();

    m_engine->queue().load();
    const QStringList headers = {QString(), QStringLiteral("Project"), QStringLiteral("URL"),
                                 QStringLiteral("Size"), QStringLiteral("Status")};
    // The status column holds the running project's percentage and speed
    // as well: as wide as the widest of them.
    const int status = qMax(twips(1500), Lst_Main->fontMetrics().horizontalAdvance(QStringLiteral("100%, 1,000.00 Kb/s")) + 16);
    const int widths[5] = {twips(350), twips(2200), twips(2550), twips(1100), status};
    for (QTreeWidget *view : {Lst_Main, Lst_Main2}) {
        view->setHeaderLabels(headers);
        for (int c = 0; c < 5; ++c)
            view->setColumnWidth(c, widths[c]);
        view->headerItem()->setTextAlignment(3, Qt::AlignCenter);
        view->headerItem()->setTextAlignment(4, Qt::AlignCenter);
    }
    Charger_Listes();

    // The project an earlier run left in progress goes on; otherwise the
    // queue runs.
    if (!m_engine->queue().startAtLaunch() && ChK_Start->isChecked())
        selectTab(2);
}

void Form1::setTrayIcon(bool shown)
{
    if (!shown) {
        delete m_tray;
        m_tray = nullptr;
        m_notifier->setTrayIcon(nullptr);
        return;
    }
    if (m_tray || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_tray = new QSystemTrayIcon(windowIcon(), this);
    m_tray->setObjectName(QStringLiteral("TrayIcon"));
    m_tray->setToolTip(windowTitle());
    m_tray->setContextMenu(Mnu_Tray);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger)
            Afficher_Fenetre();
    });
    m_tray->show();
    m_notifier->setTrayIcon(m_tray);
    // A tray that embeds the icon as a window of this program (the XEmbed
    // trays of X11) lets links be dropped on it; the icon's window is Qt's
    // own, known by its name. Trays that draw the icon themselves take no drop.
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("QSystemTrayIconSys")) {
            w->setAcceptDrops(true);
            w->installEventFilter(this);
        }
    }
}

void Form1::setNotifier(Notifier *notifier)
{
    delete m_notifier;
    m_notifier = notifier;
    notifier->setParent(this);
    notifier->setTrayIcon(m_tray);
    connect(notifier, &Notifier::clicked, this, &Form1::Afficher_Fenetre);
}

void Form1::tellDesktop(const QString &title, const QString &body)
{
    // The user who looks at the program (this window or one of its dialogs)
    // sees it there.
    for (const QWidget *w = QApplication::activeWindow(); w; w = w->parentWidget())
        if (w == this)
            return;
    m_notifier->notify(title, body);
}

void Form1::onChkTray()
{
    if (Loading_Options)
        return;
    Tray_Mode = ChK_Tray->isChecked();
    setTrayIcon(Tray_Mode);
    Settings::write(QStringLiteral("Tray"), QString::number(Tray_Mode ? 1 : 0));
}

void Form1::onChkStart()
{
    if (Loading_Options)
        return;
    Settings::write(QStringLiteral("OnStartTab"), QString::number(ChK_Start->isChecked() ? 1 : 0));
}

void Form1::onChkStartwindows()
{
    if (Loading_Options)
        return;
    // The entry is toggled whatever the box shows: an entry removed by hand
    // meanwhile is written again, not removed twice.
    if (!Autostart::read().isEmpty())
        Autostart::remove();
    else
        Autostart::write();
    ChK_Startwindows->setChecked(!Autostart::read().isEmpty());
}

void Form1::onChkIEMenu()
{
    if (Loading_Options)
        return;
    // The browsers' menu entry is the extension's; what this box switches is
    // whether the browsers find the host that brings its links here. As for
    // the autostart entry, what exists decides, and the box then shows it.
    if (!NativeHost::installedForUser().isEmpty())
        NativeHost::removeForUser();
    else if (!NativeHost::installForUser())
        Lbl_BrowserHosts->setText(QStringLiteral("Could not write in %1.").arg(QDir::homePath()));
    showBrowserHosts();
}

void Form1::showBrowserHosts()
{
    const QStringList mine = NativeHost::installedForUser();
    ChK_IEMenu->setChecked(!mine.isEmpty());
    QStringList browsers;
    for (const QString &path : mine)
        browsers << NativeHost::browserOf(path);
    const QStringList system = NativeHost::systemManifestPaths();
    const bool systemWide = std::any_of(system.begin(), system.end(), [](const QString &p) { return QFile::exists(p); });
    if (!mine.isEmpty())
        Lbl_BrowserHosts->setText(QStringLiteral("Installed for %1.").arg(browsers.join(QStringLiteral(", "))));
    else if (systemWide)
        Lbl_BrowserHosts->setText(QStringLiteral("The installation has added it for every user."));
    else
        Lbl_BrowserHosts->setText(QStringLiteral("The browser extension cannot reach ZOV Kestra Download until this is ticked."));
}

void Form1::Afficher_Fenetre()
{
    showNormal();
    activateWindow();
    setFocus();
}

void Form1::bringToFront(bool takeKeyboard)
{
    // In front of the others without staying on top; a window hidden in the
    // tray or minimized comes back first (without the keyboard, unless asked).
    if (isHidden() || isMinimized()) {
        setAttribute(Qt::WA_ShowWithoutActivating, !takeKeyboard);
        showNormal();
        setAttribute(Qt::WA_ShowWithoutActivating, false);
    }
    raise();
    // Its open dialogs and messages stay in front of it, and the keyboard goes
    // where the user has to answer: a modal message, else the dialog that
    // holds this window.
    QWidget *answer = isEnabled() ? this : nullptr;
    for (QWidget *w : findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w->isWindow() && w->isVisible() && w->windowType() != Qt::Popup) {
            w->raise();
            answer = w;
        }
    }
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->raise();
        answer = modal;
    }
    if (takeKeyboard && answer)
        answer->activateWindow();
}

void Form1::keepUsable(QWidget *window)
{
    // Disabling a widget disables its children, windows of their own
    // included: the dialogs and messages that hold this window stay usable.
    window->setEnabled(true);
}

void Form1::onMainMenu(const QPoint &pos)
{
    const int n = selectMenuRow(Lst_Main, pos);
    if (n == 0)
        return;
    const int c = Lst_Main->topLevelItemCount();
    const bool p = m_engine->store().current() != nullptr;
    Mnu_Haut->setEnabled(n >= 3 || (n == 2 && !p));
    Mnu_Bas->setEnabled(n < c && !(p && n == 1));
    Mnu_Cancel->setEnabled(true);
    Mnu_Pas_Finit->popup(Lst_Main->viewport()->mapToGlobal(pos));
}

void Form1::moveSelected(int delta)
{
    const int n = Txt_Numero_Selected->text().toInt();
    const int i = m_engine->store().waitingIndexOfMainRow(n);
    if (i < 0 || !m_engine->queue().moveWaiting(i, i + delta))
        return;
    // The moved project stays selected.
    if (QTreeWidgetItem *row = Lst_Main->topLevelItem(n - 1 + delta))
        Lst_Main->setCurrentItem(row);
}

void Form1::cancelSelected()
{
    const QTreeWidgetItem *row = Lst_Main->topLevelItem(Txt_Numero_Selected->text().toInt() - 1);
    if (!row)
        return;
    const QString name = row->text(1);
    // The project is found by name when the answer comes, whatever moved
    // meanwhile.
    ask(QStringLiteral("Cancel ?"), QStringLiteral("Do you really want to cancel project: ") + name + QStringLiteral(" ?"),
        [this, name] { m_engine->queue().cancel(name); });
}

void Form1::onAddressReceived(const HandedOver &handOff)
{
    bringToFront(false);
    m_handOffs.append(handOff);
    takeHandOff();
}

void Form1::takeHandOff()
{
    // One probe at a time, and none while a dialog holds the window or a
    // confirmed project is still being stored (storing it clears the address
    // box, and the next name must see its folder): the address waits.
    if (m_handOffs.isEmpty() || m_probe->isRunning() || !isEnabled() || m_form5
        || m_engine->queue().isAdding())
        return;
    const HandedOver next = m_handOffs.takeFirst();
    // A browser that stopped waiting for the probe keeps its own download.
    if (next.ticket && !m_listener->isWaiting(next.ticket)) {
        QTimer::singleShot(0, this, &Form1::takeHandOff);
        return;
    }
    autoSelectTab(2);
    Txt_Url->setText(next.address);
    // The browser's session for the address goes with the probe, and from
    // the probe's result into the project.
    m_probeFromHandOff = true;
    m_probeTicket = next.ticket;
    m_loginAsks = 0;
    m_askedLogin.clear();
    probeAddress(Txt_Url->text(), next.headers);
}

void Form1::closeEvent(QCloseEvent *event)
{
    // Closing the main window ends the program, without a question: the
    // connections close, and a running download saves what the next start
    // needs to resume it.
    event->accept();
    if (m_form5)
        return;
    setEnabled(false);
    m_form5 = new WaitWindow(QStringLiteral("Form5"), QStringLiteral("ZOV Kestra Download is shutting down..."), this);
    keepUsable(m_form5);
    m_form5->show();
    m_engine->shutdown();
    m_listener->close();
    setTrayIcon(false);
    emit shutdownFinished();
}

void Form1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // The queue waits while the window takes no input (a dialog is open).
    if (event->type() == QEvent::EnabledChange)
        m_engine->queue().setWindowBusy(!isEnabled());
    // A dialog gave the window back: an address that waited may go now.
    if (event->type() == QEvent::EnabledChange && isEnabled() && !m_handOffs.isEmpty())
        QTimer::singleShot(0, this, &Form1::takeHandOff);
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        for (QWidget *w : findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (w->isWindow() && w->windowType() != Qt::Popup)
                keepUsable(w);
    }
    if (event->type() == QEvent::WindowStateChange && Tray_Mode && m_tray) {
        if (isMinimized())
            QTimer::singleShot(0, this, &QWidget::hide);
    }
}

void Form1::autoSelectTab(int index)
{
    // The latest request wins; it waits while the user is in the middle of
    // something, so that a menu does not close under the pointer and a click
    // meant for one tab does not land on another.
    m_pendingTab = index;
    applyPendingTab();
}

void Form1::applyPendingTab()
{
    if (m_pendingTab == 0) {
        m_tabTimer->stop();
        return;
    }
    if (underUsersHand()) {
        m_tabTimer->start();
        return;
    }
    m_tabTimer->stop();
    selectTab(std::exchange(m_pendingTab, 0));
}

bool Form1::underUsersHand() const
{
    if (QApplication::activePopupWidget() || QApplication::activeModalWidget()
        || QApplication::mouseButtons() != Qt::NoButton)
        return true;
    if (m_moved.isValid() && m_moved.elapsed() < kDragSettleMs)
        return true;
    // A dialog, message or statistics window of this window is open.
    for (const QWidget *w : findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (w->isWindow() && w->isVisible() && w->windowType() != Qt::Popup)
            return true;
    return false;
}

void Form1::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    if (isVisible())
        m_moved.start();
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (isVisible())
        m_moved.start();
}

void Form1::drawGraphs()
{
    // The same samples and style as the view's own pictures, drawn into
    // the boxes' pixels (more of them on a scaled screen).
    const SpeedGraphs &g = m_view->graphs();
    GraphPainter::draw(&Graph->image(), &Graph2->image(), g.averages(), g.immediates(), g.style());
    m_graphsDrawn = true;
    Graph->refresh();
    Graph2->refresh();
}

QString Form1::probeCause(const QString &text) const
{
    // The system's reason for a failed connection, with the server it was
    // for (an answer that was no file names its status line itself).
    if (!m_probe->networkReason().isEmpty()) {
        const QUrl address = QUrl::fromUserInput(m_probe->urlText());
        if (address.host().isEmpty())
            return m_probe->networkReason();
        const QString port = address.port() > 0 ? QStringLiteral(":%1").arg(address.port()) : QString();
        return m_probe->networkReason() + QStringLiteral(": ") + address.host() + port;
    }
    // A connection that brought nothing at all before it closed or the
    // time ran out.
    if (text.startsWith(QLatin1String(UrlProbe::MsgUnableToConnect)))
        return QStringLiteral("The server did not answer.");
    return QString();
}

QString Form1::droppedAddress(const QMimeData *data)
{
    if (!data)
        return QString();
    // A link: only the schemes the program downloads (a file of this
    // machine is no download).
    for (const QUrl &url : data->urls()) {
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
            return url.toString();
    }
    if (!data->hasUrls() && data->hasText()) {
        // A dragged address as text; a sentence or a paragraph is none.
        const QString text = data->text().trimmed();
        if (!text.isEmpty() && !text.contains(QRegularExpression(QStringLiteral("\\s"))))
            return text;
    }
    return QString();
}

bool Form1::takeDrop(QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (droppedAddress(drag->mimeData()).isEmpty() || !isEnabled())
            return false;
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QString address = droppedAddress(drop->mimeData());
        if (address.isEmpty() || !isEnabled())
            return false;
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        // A link dropped on the tray icon brings the hidden window back with it.
        if (isHidden() || isMinimized())
            bringToFront(true);
        // As if typed into the address box and added; while a probe runs,
        // it waits its turn like a handed-over address.
        if (m_probe->isRunning() || m_engine->queue().isAdding()) {
            m_handOffs.append({address, {}, 0});
            return true;
        }
        selectTab(2);
        Txt_Url->setText(address);
        addProject();
        return true;
    }
    default:
        return false;
    }
}

void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    if (!takeDrop(event))
        QMainWindow::dragEnterEvent(event);
}

void Form1::dragMoveEvent(QDragMoveEvent *event)
{
    if (!takeDrop(event))
        QMainWindow::dragMoveEvent(event);
}

void Form1::dropEvent(QDropEvent *event)
{
    if (!takeDrop(event))
        QMainWindow::dropEvent(event);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // The address box would insert the dropped text where the pointer is,
    // beside what it holds; the tray icon's window knows nothing of drops.
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove || event->type() == QEvent::Drop)
        return takeDrop(event) || QMainWindow::eventFilter(watched, event);
    return QMainWindow::eventFilter(watched, event);
}
