#pragma once

#include <QColor>
#include <QPalette>

// A palette from the few roles the views read, for rendering them light and dark.
inline QPalette snapshotPalette(QColor window, QColor text, QColor base, QColor button, QColor highlight)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Mid, text.lightness() > 128 ? QColor(0x5a5a5e) : QColor(0xb8b8bc));
    return palette;
}
