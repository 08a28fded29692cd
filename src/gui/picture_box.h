#pragma once
#include <QColor>
#include <QImage>
#include <QWidget>

// A picture box: a widget that shows an off-screen QImage of its own size. Bars
// and graphs draw into image() and call refresh(); the widget only copies the
// image to the screen. The image has the screen's pixels, not the widget's
// (twice as many each way at a scale factor of 2), with its device pixel ratio
// set, so that what is painted into it stays sharp at any scale. A box painted
// as a bar remembers its percentage and paints the bar again at its new size
// whenever it is resized, so a bar painted before the layout has sized the
// widget shows at its real size; any other picture is the owner's to draw
// again when resized() says so.
class PictureBox : public QWidget
{
    Q_OBJECT
public:
    explicit PictureBox(QWidget *parent = nullptr);

    QImage &image() { return m_image; }
    const QImage &image() const { return m_image; }

    QColor backColor() const { return m_back; }
    QColor foreColor() const { return m_fore; }
    void setBackColor(const QColor &c) { m_back = c; }
    void setForeColor(const QColor &c) { m_fore = c; }

    // Fills the picture with the background colour (and forgets the bar).
    void clear();
    // Paints the picture as a progress bar at percent (Dessine_Barre).
    void dessineBarre(double percent);
    void refresh() { update(); }

signals:
    // The picture was made anew at the widget's new size (or the screen's new
    // scale), holding the background only unless it is a bar.
    void resized();

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;

private:
    // Makes the picture anew when the widget's size or the screen's scale
    // changed since it was made; true when it did.
    bool fitImage();

    QImage m_image;
    QColor m_back = Qt::white;
    QColor m_fore = Qt::black;
    bool m_isBar = false;
    double m_percent = 0;
};
