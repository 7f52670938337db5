// The program's own icon (window and task bar), compiled into lw_resources. The artwork is
// linewatch.svg; the PNGs beside it are its renderings, since Qt reads SVG only with an optional
// plugin. The resources of a static library must be registered once: ProgramIcon() does that
// itself (Q_INIT_RESOURCE(resources)), so a program that only calls it needs nothing more.
#pragma once

#include <QIcon>
#include <QPixmap>

// The icon with every rendered size (16..256 px), plus the SVG where Qt can read it.
QIcon ProgramIcon();

// The router maker's badge on the About tab, drawn rather than shipped as an image, sharp at a
// device pixel ratio of 2.
QPixmap MakerBadge();
