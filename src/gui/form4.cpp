#include "gui/form4.h"

#include "gui/make_button.h"
#include "core/settings.h"
#include "gui/dialog_keys.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStorageInfo>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// The folder of path that exists: the path itself or its nearest existing parent.
QString existingFolder(const QString &path)
{
    QString p = QDir::cleanPath(QFileInfo(path.isEmpty() ? QStringLiteral("/") : path).absoluteFilePath());
    while (!QFileInfo(p).isDir()) {
        const QString parent = QFileInfo(p).path();
        if (parent == p)
            return QStringLiteral("/");
        p = parent;
    }
    return p;
}
} // namespace

Form4::Form4(QWidget *parent)
    : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Destination folder"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *layout = new QVBoxLayout(this);

    Drive = new QComboBox(this);
    Drive->setObjectName(QStringLiteral("Drive"));
    layout->addWidget(Drive);

    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setRootPath(QStringLiteral("/"));
    Dir = new QTreeView(this);
    Dir->setObjectName(QStringLiteral("Dir"));
    Dir->setModel(m_model);
    for (int c = 1; c < m_model->columnCount(); ++c)
        Dir->hideColumn(c);
    Dir->header()->hide();
    Dir->setMinimumSize(320, 260);
    layout->addWidget(Dir, 1);

    layout->addWidget(new QLabel(QStringLiteral("Received files save path:"), this));
    Txt_New_path = new QLineEdit(this);
    Txt_New_path->setObjectName(QStringLiteral("Txt_New_path"));
    layout->addWidget(Txt_New_path);

    addOkCancel(layout, this, &Cmd_OK, &Cmd_Annuler);

    connect(Txt_New_path, &QLineEdit::textChanged, Txt_New_path, &QWidget::setToolTip);
    connect(Drive, &QComboBox::currentIndexChanged, this, &Form4::driveChanged);
    connect(Dir->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) { folderChanged(current); });
    connect(Cmd_OK, &QPushButton::clicked, this, [this] {
        emit pathChosen(Txt_New_path->text());
        close();
    });
    connect(Cmd_Annuler, &QPushButton::clicked, this, &QWidget::close);
    // Until the user moves, each folder read on the way down to the shown one
    // may push it out of view: bring it back.
    connect(m_model, &QFileSystemModel::directoryLoaded, this, [this](const QString &loaded) {
        const QModelIndex shown = m_model->index(m_shown);
        if (!m_shown.isEmpty() && Dir->currentIndex() == shown
            && (m_shown + QLatin1Char('/')).startsWith(loaded == QLatin1String("/") ? loaded : loaded + QLatin1Char('/')))
            Dir->scrollTo(shown, QAbstractItemView::PositionAtCenter);
    });
    new DialogKeys(this, Cmd_OK, Cmd_Annuler);

    // Start where the stored destination is: its volume, its folder (or the
    // nearest one that exists) and the stored text itself.
    m_loading = true;
    const QString stored = Settings::filePathSetting();
    const QString folder = existingFolder(stored);
    const QString volume = QStorageInfo(folder).rootPath();

    QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    std::sort(volumes.begin(), volumes.end(),
              [](const QStorageInfo &a, const QStorageInfo &b) { return a.rootPath() < b.rootPath(); });
    for (const QStorageInfo &v : volumes) {
        // Files bound over other files (as in containers) are no volumes to pick.
        if (!v.isValid() || !QFileInfo(v.rootPath()).isDir())
            continue;
        QString label = v.rootPath();
        if (!v.name().isEmpty())
            label += QStringLiteral("  [") + v.name() + QLatin1Char(']');
        Drive->addItem(label, v.rootPath());
    }
    int current = Drive->findData(volume);
    if (current < 0 && !volume.isEmpty()) {
        Drive->addItem(volume, volume);
        current = Drive->count() - 1;
    }
    Drive->setCurrentIndex(current);
    showFolder(folder);
    Txt_New_path->setText(stored);
    m_loading = false;
}

void Form4::driveChanged(int index)
{
    if (m_loading || index < 0)
        return;
    const QString root = Drive->itemData(index).toString();
    const QStorageInfo info(root);
    // A volume that cannot be read leaves the folder tree where it was.
    if (!info.isValid() || !info.isReady() || !QFileInfo(root).isDir())
        return;
    showFolder(root);
}

void Form4::folderChanged(const QModelIndex &index)
{
    if (m_loading || !index.isValid())
        return;
    // Plain concatenation: the root "/" becomes "//".
    Txt_New_path->setText(m_model->filePath(index) + QLatin1Char('/'));
}

void Form4::showFolder(const QString &folder)
{
    const QModelIndex index = m_model->index(folder);
    if (!index.isValid())
        return;
    m_shown = folder;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        Dir->expand(up);
    Dir->setCurrentIndex(index);
    Dir->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void Form4::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shown.isEmpty())
        Dir->scrollTo(m_model->index(m_shown), QAbstractItemView::PositionAtCenter);
}

void Form4::closeEvent(QCloseEvent *event)
{
    emit unloaded();
    event->accept();
}
