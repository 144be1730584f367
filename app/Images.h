// The program's own pictures, drawn in code: the three 18 x 18 toolbar
// images (connect, disconnect, delete message) and the program icon. The
// icon is also written out as SVG and PNG files for the desktop's icon theme
// (desktop/IconExport.cpp), from the same figures the window draws.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QPixmap>

enum class TToolbarImage { Connect, Disconnect, Delete };

QPixmap ToolbarImage(TToolbarImage image);
QIcon ProgramIcon();
// The program icon at size x size pixels, transparent around the envelope.
QImage ProgramIconImage(int size);
// The program icon as a standalone SVG document (view box 0 0 18 18).
QByteArray ProgramIconSvg();
