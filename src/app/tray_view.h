// What the main window needs of the desktop (the notification-area icon, its menu and the
// windows). Headless runs have none.
#pragma once

namespace quorvel::app {

enum class TrayPicture { None, Idle, Activity };

// Mouse message codes passed to QuorvelForm::TrayIconCallback.
inline constexpr int kTrayLeftButtonUp = 514;
inline constexpr int kTrayLeftDoubleClick = 515;
inline constexpr int kTrayRightButtonUp = 517;

class TrayView {
public:
    virtual ~TrayView() = default;
    // Shows or changes the icon (iconOn) or removes it.
    virtual void Update(bool iconOn, TrayPicture picture) = 0;
    // Shows the popup menu "CM11A" at the pointer and returns at once; the entry chosen
    // reaches MenuArray_Click later, from the event loop.
    virtual void ShowMenu() {}
    // First step of the orderly shutdown: the windows close (an open setup window as by
    // "Cancel": only its "Save" writes).
    virtual void UnloadWindows() {}
};

}  // namespace quorvel::app
