#include "gui/picture_box.h"

#include "view/bar_painter.h"

#include <QPainter>

PictureBox::PictureBox(QWidget *parent)
    : QWidget(parent)
    , m_image(1, 1, QImage::Format_RGB32)
{
    m_image.fill(m_back);
}

void PictureBox::clear()
{
    fitImage();
    m_isBar = false;
    m_image.fill(m_back);
    update();
}

void PictureBox::dessineBarre(double percent)
{
    fitImage();
    m_isBar = true;
    m_percent = percent;
    Dessine_Barre(m_image, percent, m_back, m_fore);
    update();
}

void PictureBox::paintEvent(QPaintEvent *)
{
    // A box moved to a screen of another scale paints afresh at that scale.
    if (fitImage()) {
        if (m_isBar)
            Dessine_Barre(m_image, m_percent, m_back, m_fore);
        else
            emit resized();
    }
    QPainter p(this);
    p.drawImage(QPoint(0, 0), m_image);
}

void PictureBox::resizeEvent(QResizeEvent *)
{
    if (!fitImage())
        return;
    if (m_isBar)
        Dessine_Barre(m_image, m_percent, m_back, m_fore);
    else
        emit resized();
}

bool PictureBox::fitImage()
{
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize().expandedTo(QSize(1, 1));
    if (m_image.size() == pixels && m_image.devicePixelRatio() == ratio)
        return false;
    // What was drawn stays where it was until the owner paints again.
    QImage next(pixels, QImage::Format_RGB32);
    next.setDevicePixelRatio(ratio);
    next.fill(m_back);
    QPainter p(&next);
    p.drawImage(QPoint(0, 0), m_image);
    p.end();
    m_image = next;
    return true;
}
