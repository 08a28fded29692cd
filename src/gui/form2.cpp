#include "gui/form2.h"

#include "gui/make_button.h"
#include "core/settings.h"
#include "view/formatters.h"
#include "gui/dialog_keys.h"
#include "gui/form3.h"
#include "projects/project_file.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QLineEdit *makeField(const char *name, QWidget *parent)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    // The store takes the name, address and size the probe found and the
    // options the settings hold; the fields only show them.
    e->setReadOnly(true);
    return e;
}
} // namespace

Form2::Form2(QWidget *parent)
    : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("New project"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto *layout = new QVBoxLayout(this);

    Frame_Generals = new QGroupBox(QStringLiteral("Generals"), this);
    Frame_Generals->setObjectName(QStringLiteral("Frame_Generals"));
    {
        auto *g = new QGridLayout(Frame_Generals);
        Txt_Project_Name = makeField("Txt_Project_Name", Frame_Generals);
        Txt_Url = makeField("Txt_Url", Frame_Generals);
        Txt_FileSize = makeField("Txt_FileSize", Frame_Generals);
        g->addWidget(new QLabel(QStringLiteral("Project name:"), Frame_Generals), 0, 0);
        g->addWidget(Txt_Project_Name, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("Project URL:"), Frame_Generals), 1, 0);
        g->addWidget(Txt_Url, 1, 1);
        g->addWidget(new QLabel(QStringLiteral("Project size:"), Frame_Generals), 2, 0);
        g->addWidget(Txt_FileSize, 2, 1);
        g->setColumnStretch(1, 1);
    }
    layout->addWidget(Frame_Generals);

    Frame_Options = new QGroupBox(QStringLiteral("Options"), this);
    Frame_Options->setObjectName(QStringLiteral("Frame_Options"));
    {
        auto *g = new QGridLayout(Frame_Options);
        Txt_Pack = makeField("Txt_Pack", Frame_Options);
        Txt_dest = makeField("Txt_dest", Frame_Options);
        Cmd_Edit = makeButton("Cmd_Edit", QStringLiteral("Edit..."), Frame_Options);
        Chk_modem = new QCheckBox(QStringLiteral("Show modem"), Frame_Options);
        Chk_modem->setObjectName(QStringLiteral("Chk_modem"));
        g->addWidget(new QLabel(QStringLiteral("Pack size:"), Frame_Options), 0, 0);
        g->addWidget(Txt_Pack, 0, 1);
        g->addWidget(Cmd_Edit, 0, 2);
        g->addWidget(new QLabel(QStringLiteral("Destination:"), Frame_Options), 1, 0);
        g->addWidget(Txt_dest, 1, 1, 1, 2);
        g->addWidget(Chk_modem, 2, 1, 1, 2);
        g->setColumnStretch(1, 1);
    }
    layout->addWidget(Frame_Options);

    Txt_File_size_ok = new QLineEdit(this);
    Txt_File_size_ok->setObjectName(QStringLiteral("Txt_File_size_ok"));
    Txt_File_size_ok->hide();
    Txt_Pack_size_ok = new QLineEdit(this);
    Txt_Pack_size_ok->setObjectName(QStringLiteral("Txt_Pack_size_ok"));
    Txt_Pack_size_ok->hide();

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    Cmd_Downloader = makeButton("Cmd_Downloader", QStringLiteral("Download"), this);
    Cmd_Annuler = makeButton("Cmd_Annuler", QStringLiteral("Cancel"), this);
    Cmd_Downloader->setDefault(true);
    buttons->addWidget(Cmd_Downloader);
    buttons->addWidget(Cmd_Annuler);
    layout->addLayout(buttons);

    connect(Cmd_Edit, &QPushButton::clicked, this, &Form2::editOptions);
    connect(Cmd_Downloader, &QPushButton::clicked, this, &Form2::download);
    connect(Cmd_Annuler, &QPushButton::clicked, this, &QWidget::close);
    m_keys = new DialogKeys(this, Cmd_Downloader, Cmd_Annuler);

    loadOptions();
    resize(420, sizeHint().height());
}

Form2::~Form2()
{
    // An options dialog still open from here goes with it.
    delete m_form3.data();
}

void Form2::loadOptions()
{
    setDestination(Settings::filePathSetting());
    Chk_modem->setChecked(Settings::readInt(QStringLiteral("ShowModem"), Settings::Default::showModem) != 0);
}

void Form2::setDestination(const QString &path)
{
    Txt_dest->setText(path);
    Txt_dest->setToolTip(path);
}

void Form2::fill(const ProbeResult &result)
{
    m_result = result;
    Txt_FileSize->setText(fileSizeText(result.fileSize));
    Txt_Project_Name->setText(result.projectName);
    Txt_Project_Name->setToolTip(result.projectName);
    Txt_Url->setText(result.url);
    Txt_Url->setToolTip(result.url);
    // packSize is the settings' pack size, or the whole file for a server
    // without byte ranges (one pack, one connection).
    Txt_Pack->setText(fileSizeText(result.packSize));
    Txt_Pack_size_ok->setText(QString::number(result.packSize));
    Txt_File_size_ok->setText(QString::number(result.fileSize));
}

void Form2::showWithoutKeyboard()
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    m_keys->holdEnterAfterActivation(500);
}

void Form2::editOptions()
{
    if (m_form3) {
        m_form3->raise();
        m_form3->activateWindow();
        return;
    }
    // Over the main window: this dialog hides while the options are edited.
    auto *dlg = new Form3(parentWidget() ? parentWidget() : this);
    dlg->setEnabled(true);   // the main window, disabled, would disable it
    m_form3 = dlg;
    dlg->setFromNewProject(QStringLiteral("Form2"));
    connect(dlg, &Form3::returnToNewProject, this, &Form2::returnFromOptions);
    DialogKeys::centreOn(dlg, this);
    dlg->show();
    hide();
}

Form3 *Form2::optionsDialog() const
{
    return m_form3;
}

void Form2::returnFromOptions()
{
    // A server without byte ranges keeps its single whole-file pack whatever
    // the settings say; the settings' size is for the servers that have them.
    const qint64 pack = m_result.packSizeFor(0);
    Txt_Pack->setText(Format_Taille(pack));
    Txt_Pack_size_ok->setText(QString::number(pack));
    loadOptions();
    show();
    raise();
    activateWindow();
}

QByteArray Form2::projectText() const
{
    ProjectRecord r = ProjectFile::fromSettings(m_result.url, m_result.fileSize, m_result.ftp);
    r.bytes = toInteger(Txt_File_size_ok->text(), m_result.fileSize);
    r.path = Txt_dest->text();
    r.packsize = toInteger(Txt_Pack_size_ok->text(), r.packsize);
    r.showmodem = Chk_modem->isChecked() ? 1 : 0;
    return ProjectFile::build(r);
}

void Form2::download()
{
    emit downloadConfirmed(projectText());
    close();
}

void Form2::closeEvent(QCloseEvent *event)
{
    emit unloaded();
    event->accept();
}
