// SPDX-License-Identifier: MIT
// The program's own icon (window and task bar), compiled into lw_resources. The artwork is
// linewatch.svg; the PNGs beside it are its renderings, compiled in, since Qt reads SVG only with
// an optional plugin. The resources of a static library must be registered once: ProgramIcon() does that
// itself (Q_INIT_RESOURCE(resources)), so a program that only calls it needs nothing more.
#pragma once

#include <QIcon>
#include <QSize>

class QPainter;

// The icon with every rendered size (16..256 px), other sizes scaled from the next larger. Each picture
// is read from the compiled-in PNG when asked for and not kept: the window system holds its own
// copy, and the program would otherwise carry some 350 KB of pixels per icon for its whole run.
QIcon ProgramIcon();

// The router maker's badge on the About tab, drawn rather than shipped as an image, at whatever
// device pixel ratio the painter has; painted where it shows instead of kept as a pixmap.
QSize MakerBadgeSize();
void PaintMakerBadge(QPainter &Painter);
