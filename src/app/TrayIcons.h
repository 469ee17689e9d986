// The three pictures of the tray icon: no mail, mail waiting, a failed check.
#pragma once

#include "platform/WinTypes.h"

#include <QIcon>

enum TTrayState { tsNoMail, tsMail, tsError };

// The picture of `state`, drawn from its SVG at the sizes trays use (16 to 48
// pixels). Needs the GUI application object.
QIcon TrayStateIcon(TTrayState state);
// The same picture as an icon handle for the tray record; registered once per
// state and kept for the life of the program.
HICON TrayStateIconHandle(TTrayState state);
