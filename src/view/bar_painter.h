#pragma once
#include <QColor>
#include <QImage>

// Colours are stored as blue * 65536 + green * 256 + red, in decimal text.
QColor colorFromPacked(qint64 packed);
qint64 packedFromColor(const QColor &color);

// Paints a progress bar with its centred percentage text into image: the image is
// filled with back, the text "###%" is printed in fore, then a rectangle from the
// left edge to percent/100 of the width is drawn in fore through the not-XOR-pen
// raster operation, so the bar shows as NOT(fore XOR back) and the text under it
// turns white. At 0 % the text is "%" alone. An image with a device pixel ratio
// is painted in its device-independent size, at its full resolution.
void Dessine_Barre(QImage &image, double percent, const QColor &back, const QColor &fore);
