// What the main window needs of the notification-area icon. Headless runs have none.
#pragma once

namespace quorvel::app {

enum class TrayPicture { None, Idle, Activity };

class TrayView {
public:
    virtual ~TrayView() = default;
    // Shows or changes the icon (iconOn) or removes it.
    virtual void Update(bool iconOn, TrayPicture picture) = 0;
};

}  // namespace quorvel::app
