#pragma once
#include <QWidget>

class QComboBox;
class QFileSystemModel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QTreeView;

// The destination-folder chooser, opened by the options dialog's "Edit..." button.
// It starts at the stored "FilePath"; picking a volume in Drive moves the folder
// tree Dir to that volume's root, and picking a folder in Dir puts its path and a
// "/" into Txt_New_path (the root "/" gives "//"). The text may also be typed and
// is passed on unchecked.
//
// OK emits pathChosen() with the text and closes; Cancel only closes. Closing
// always emits unloaded(), on which the options dialog shows itself again. The
// window deletes itself when it closes.
class Form4 : public QWidget
{
    Q_OBJECT
public:
    explicit Form4(QWidget *parent = nullptr);

signals:
    void pathChosen(const QString &path);
    void unloaded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void driveChanged(int index);
    void folderChanged(const QModelIndex &index);
    void showFolder(const QString &folder);

    QComboBox *Drive = nullptr;
    QTreeView *Dir = nullptr;
    QFileSystemModel *m_model = nullptr;
    QLineEdit *Txt_New_path = nullptr;
    QPushButton *Cmd_OK = nullptr;
    QPushButton *Cmd_Annuler = nullptr;
    bool m_loading = false;
    // The folder the tree opened at; it is scrolled into view again as the
    // folders above it are read (the model reads them in the background).
    QString m_shown;
};
