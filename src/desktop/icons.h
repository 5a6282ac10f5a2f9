// The tray pictures: drawn at each tray size so that they stay sharp (16, 22, 32, 48 px).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace quorvel::desktop {

inline constexpr int kIconSizes[] = {16, 22, 32, 48};

// A bulb on a rounded tile: dark and unlit when idle, lit and amber for activity.
QPixmap DrawTrayPicture(bool activity, int size);
QIcon TrayPicture(bool activity);

}  // namespace quorvel::desktop
