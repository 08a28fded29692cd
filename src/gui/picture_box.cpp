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
    m_isBar = false;
    m_image.fill(m_back);
    update();
}

void PictureBox::dessineBarre(double percent)
{
    m_isBar = true;
    m_percent = percent;
    Dessine_Barre(m_image, percent, m_back, m_fore);
    update();
}

void PictureBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawImage(0, 0, m_image);
}

void PictureBox::resizeEvent(QResizeEvent *)
{
    if (m_image.size() == size())
        return;
    QImage next(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    next.fill(m_back);
    QPainter p(&next);
    p.drawImage(0, 0, m_image);
    p.end();
    m_image = next;
    if (m_isBar)
        Dessine_Barre(m_image, m_percent, m_back, m_fore);
}
