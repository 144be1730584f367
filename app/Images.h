// The program's own pictures, drawn in code: the three 18 x 18 toolbar
// images (connect, disconnect, delete message) and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

enum class TToolbarImage { Connect, Disconnect, Delete };

QPixmap ToolbarImage(TToolbarImage image);
QIcon ProgramIcon();
