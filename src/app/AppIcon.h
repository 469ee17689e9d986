// The program's icon, drawn at run time (an envelope with a lit lamp).
#pragma once

#include <QIcon>

QIcon MakeAppIcon();
