#pragma once
#include <QColor>
#include <QImage>
#include <QStringList>

// The two speed graphs of a download: 50 samples each, in Kbit/s, oldest
// first, drawn as columns against a vertical range of 1.5 times the line
// speed, with the line speed as a reference line.
//
// Drawing works in a user scale of 50 units across and floor(1.5 x M) units
// down (y grows downwards), mapped onto the image's pixels: position i owns the
// pixel columns from floor(i x width / 50) up to the next position's first one.
// A column of v Kbit/s fills its position from H - v to the bottom edge H. The
// reference line is the outline of the box from H - M to H - M + floor(2M / 600),
// so at a thickness of 0 it is still one pixel row. Everything is drawn through
// the mask pen (screen AND pen), so where the line crosses a column both colours
// show ANDed. A position is drawn only when its immediate sample is not 0 (the
// two lists scroll separately; the immediate one decides). The pixels are the
// image's own, whatever its device pixel ratio. Images that are not
// 32-bit are painted on a 32-bit copy, since raster operations need one; null
// pointers and null images are skipped.
class GraphPainter
{
public:
    struct Style
    {
        QColor background = Qt::white;   // "graphback"
        QColor columns;                  // "graphfor" (Couleur_Graph)
        QColor modem;                    // "graphmodem" (Couleur_Modem)
        bool showModem = true;           // the "Show modem capacity" check box
        int modemSpeed = 56;             // M, Kbit/s ("modemspeed")
        // The options dialog's preview draws the reference line at every
        // position, whatever the sample; the download graphs only where the
        // immediate sample is not 0.
        bool modemEverywhere = false;
    };
    // Clears both images and draws every sample: `averages` (SpeedGraphs::averages()) on
    // `average` (Graph), `immediates` on `immediate` (Graph2); the
    // reference line only where the immediate sample is not 0.
    static void draw(QImage *average, QImage *immediate, const QStringList &averages,
                     const QStringList &immediates, const Style &style);
    // The same for the last `traces` samples only, drawn from the left edge
    // (the final snapshot of a download). traces 0 leaves both blank.
    static void drawFinal(QImage *average, QImage *immediate, const QStringList &averages,
                          const QStringList &immediates, const Style &style, int traces);
};
