#include "gui/stats.h"

#include "gui/dialog_keys.h"
#include "gui/make_button.h"
#include "view/display_model.h"
#include "view/project_statistics.h"

#include <QCloseEvent>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {
// Snapshots show at the size they were saved at, whole and unscaled; one of
// another size is fitted to it.
const QSize kPictureSize(DisplayModel::GraphWidth, DisplayModel::GraphHeight);

QLineEdit *addField(QGridLayout *grid, const char *name, const QString &caption, QWidget *parent)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setReadOnly(true);
    const int row = grid->rowCount();
    grid->addWidget(new QLabel(caption, parent), row, 0);
    grid->addWidget(e, row, 1);
    return e;
}
} // namespace

Stats::Stats(QWidget *parent)
    : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("Stats"));
    setWindowTitle(QStringLiteral("Statistics"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);

    TabStrip1 = new QTabBar(this);
    TabStrip1->setObjectName(QStringLiteral("TabStrip1"));
    TabStrip1->addTab(QStringLiteral("Generals"));
    TabStrip1->addTab(QStringLiteral("Graphics"));
    TabStrip1->setExpanding(false);
    layout->addWidget(TabStrip1);
    // One page per tab, stacked: the window keeps its size whichever shows.
    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages);
    auto *figures = new QWidget(m_pages);
    auto *figuresLayout = new QVBoxLayout(figures);
    figuresLayout->setContentsMargins(0, 0, 0, 0);
    m_pages->addWidget(figures);

    Frm_General = new QGroupBox(QStringLiteral("Generals"), figures);
    Frm_General->setObjectName(QStringLiteral("Frm_General"));
    {
        auto *g = new QGridLayout(Frm_General);
        Txt_Project = addField(g, "Txt_Project", QStringLiteral("Project name:"), Frm_General);
        Txt_Url = addField(g, "Txt_Url", QStringLiteral("Project URL:"), Frm_General);
        Txt_Poid_File = addField(g, "Txt_Poid_File", QStringLiteral("Project size:"), Frm_General);
        Txt_Time_Download = addField(g, "Txt_Time_Download", QStringLiteral("Download time:"), Frm_General);
        g->setColumnStretch(1, 1);
    }
    figuresLayout->addWidget(Frm_General);

    Frm_Vitesse = new QGroupBox(QStringLiteral("Download speed"), figures);
    Frm_Vitesse->setObjectName(QStringLiteral("Frm_Vitesse"));
    {
        auto *g = new QGridLayout(Frm_Vitesse);
        Txt_Vitesse_Max = addField(g, "Txt_Vitesse_Max", QStringLiteral("Higher download speed:"), Frm_Vitesse);
        Txt_Vitesse_Min = addField(g, "Txt_Vitesse_Min", QStringLiteral("Lower download speed:"), Frm_Vitesse);
        Txt_Vitesse_m = addField(g, "Txt_Vitesse_m", QStringLiteral("Average download speed:"), Frm_Vitesse);
        g->setColumnStretch(1, 1);
    }
    figuresLayout->addWidget(Frm_Vitesse);
    figuresLayout->addStretch();

    Frm_Graph = new QGroupBox(QStringLiteral("Graphics"), m_pages);
    Frm_Graph->setObjectName(QStringLiteral("Frm_Graph"));
    m_pages->addWidget(Frm_Graph);
    {
        // The two graphs side by side, each page of three snapshots one
        // under the other, in the order they were taken, the paging buttons
        // under them: as wide as two snapshots, so that the window fits a
        // small or scaled screen.
        auto *g = new QGridLayout(Frm_Graph);
        auto strip = [&](const QString &caption, const QString &pictName, QLabel **pictures, int n) {
            const int column = n - 1;
            g->addWidget(new QLabel(caption, Frm_Graph), 0, column);
            for (int i = 0; i < 3; ++i) {
                pictures[i] = new QLabel(Frm_Graph);
                pictures[i]->setObjectName(QStringLiteral("%1_%2").arg(pictName).arg(i));
                pictures[i]->setFrameShape(QFrame::Box);
                pictures[i]->setLineWidth(1);
                pictures[i]->setFixedSize(kPictureSize + QSize(2, 2));
                pictures[i]->setAlignment(Qt::AlignCenter);
                g->addWidget(pictures[i], 1 + i, column);
            }
            auto *h = new QHBoxLayout;
            auto *prec = makeButton(QStringLiteral("Cmd_Prec_%1").arg(n), QStringLiteral("<<"), Frm_Graph);
            auto *next = makeButton(QStringLiteral("Cmd_For_%1").arg(n), QStringLiteral(">>"), Frm_Graph);
            h->addStretch();
            for (QPushButton *b : {prec, next}) {
                b->setEnabled(false);
                h->addWidget(b);
            }
            h->addStretch();
            g->addLayout(h, 4, column);
            return std::pair{prec, next};
        };
        std::tie(Cmd_Prec_1, Cmd_For_1) = strip(QStringLiteral("Average download speed:"),
                                                QStringLiteral("Pict_Stats"), Pict_Stats, 1);
        std::tie(Cmd_Prec_2, Cmd_For_2) = strip(QStringLiteral("Immediate download speed:"),
                                                QStringLiteral("Pict_Stats2"), Pict_Stats2, 2);
        Cmd_For_2->setToolTip(QStringLiteral("Next"));
        Cmd_Prec_2->setToolTip(QStringLiteral("Preview"));
        g->setRowStretch(5, 1);
    }
    m_graph1 = {{}, 0, Pict_Stats, Cmd_Prec_1, Cmd_For_1};
    m_graph2 = {{}, 0, Pict_Stats2, Cmd_Prec_2, Cmd_For_2};

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    Cmd_Close = makeButton(QStringLiteral("Cmd_Close"), QStringLiteral("Close"), this);
    buttons->addWidget(Cmd_Close);
    layout->addLayout(buttons);

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(10);
    connect(Timer, &QTimer::timeout, this, &Stats::timerTick);
    connect(TabStrip1, &QTabBar::tabBarClicked, this, [this](int i) { selectTab(i + 1); });
    connect(Cmd_Close, &QPushButton::clicked, this, &QWidget::close);
    connect(Cmd_For_1, &QPushButton::clicked, this, [this] { turnPage(m_graph1, 1); });
    connect(Cmd_Prec_1, &QPushButton::clicked, this, [this] { turnPage(m_graph1, -1); });
    connect(Cmd_For_2, &QPushButton::clicked, this, [this] { turnPage(m_graph2, 1); });
    connect(Cmd_Prec_2, &QPushButton::clicked, this, [this] { turnPage(m_graph2, -1); });
    // Esc and Enter close it, as they close a dialog; Enter on a focused
    // paging button turns the page instead.
    new DialogKeys(this, Cmd_Close, Cmd_Close);
    selectTab(1);
}

void Stats::showProject(const QString &name, const QString &url, const QString &size, const QString &folder)
{
    Txt_Project->setText(name);
    Txt_Poid_File->setText(size);
    Txt_Url->setText(url);
    // A long address shows its beginning, the host.
    Txt_Url->setCursorPosition(0);
    // Long names and addresses stay readable in the tips.
    Txt_Url->setToolTip(url);
    Txt_Project->setToolTip(name);
    m_folder = folder;
    Timer->start();
}

void Stats::timerTick()
{
    Timer->stop();
    emit loaded();
    const ProjectStatistics s = ProjectStatistics::read(m_folder);
    Txt_Time_Download->setText(s.time);
    Txt_Vitesse_Max->setText(s.highest);
    Txt_Vitesse_Min->setText(s.lowest);
    Txt_Vitesse_m->setText(s.average);
    m_graph1.names = ProjectStatistics::snapshots(m_folder, 1);
    m_graph2.names = ProjectStatistics::snapshots(m_folder, 2);
    for (Gallery *g : {&m_graph1, &m_graph2}) {
        g->page = 0;
        showPage(*g);
        g->prec->setEnabled(false);
        g->next->setEnabled(g->names.size() >= 4);
    }
    // Above the main window, in the middle of it.
    DialogKeys::centreOn(this, parentWidget());
    show();
}

void Stats::showPage(const Gallery &g)
{
    for (int i = 0; i < 3; ++i) {
        const QString name = g.names.value(g.page + i).trimmed();
        // A placeholder, a missing file or one that is no picture shows nothing.
        const QPixmap picture = name.isEmpty() ? QPixmap() : QPixmap(QDir(m_folder).filePath(name));
        if (picture.isNull()) {
            g.pictures[i]->clear();
            g.pictures[i]->setToolTip(QString());
        } else {
            g.pictures[i]->setPixmap(picture.size() == kPictureSize
                                         ? picture
                                         : picture.scaled(kPictureSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            g.pictures[i]->setToolTip(name);
        }
    }
}

void Stats::turnPage(Gallery &g, int step)
{
    g.page += step;
    showPage(g);
    if (step > 0) {
        if (g.names.size() <= g.page + 3)
            g.next->setEnabled(false);
        g.prec->setEnabled(true);
    } else {
        if (g.page < 1)
            g.prec->setEnabled(false);
        g.next->setEnabled(true);
    }
}

void Stats::selectTab(int index)
{
    const bool generals = index == 1;
    m_pages->setCurrentIndex(generals ? 0 : 1);
    TabStrip1->setCurrentIndex(generals ? 0 : 1);
}

void Stats::closeEvent(QCloseEvent *event)
{
    emit unloaded();
    event->accept();
}
