// The communications window without its widgets: the traffic and status panes (each
// keeps its last 10000 characters), the link status line, the description of the
// transmission in progress, and the parsing of typed X10 commands. A view shows the texts
// and is told through the change hook when the newest lines must be brought into view.
#pragma once

#include "core/reporting.h"
#include "platform/platform.h"

#include <cstddef>
#include <functional>
#include <string>

namespace quorvel::cm11a {

class CommWindowModel {
public:
    static constexpr std::size_t kPaneLimit = 10000;
    // Texts of the window's fixed controls.
    static constexpr const char* kCaption = "CM11A Communications Window";
    static constexpr const char* kSendCaption = "Send  X10 Command";
    static constexpr const char* kHint = "e.g. A1 ON  or B2 DIM 11 (dim and bright: 0 to 22 steps)";
    // The largest dim or bright amount the interface carries out.
    static constexpr int kMaxAmount = 22;

    // Queues a command; returns why it was not queued, empty when it was.
    using SendCommand = std::function<std::string(const std::string& dc, int command, int brightness)>;

    CommWindowModel(platform::Platform& platform, core::Reporter& reporter);

    void Form_Load();

    // One traffic line: time stamp, and short texts (hex echoes of up to three bytes)
    // framed as sent-bytes lines. Only appends to the pane: nothing else runs meanwhile.
    void EchoMessage(const std::string& text);
    // Echo of bytes written to the interface.
    void EchoHex(const std::string& bytes);
    // Appends a link event code line to CommStatus and received hex to CommData.
    void AppendStatus(const std::string& text);
    void AppendData(const std::string& text);
    // Tells the view to keep the newest lines of both panes visible.
    void ScrollEchoWindows();

    // The typed command: "A1 ON", "B2 DIM 11", "A1,OFF". Every line is answered in the
    // traffic pane: queued as which bytes, or refused and why.
    void SendToRain8_Click(const std::string& sendString);

    const std::string& CommStatus() const { return commStatus_; }
    const std::string& CommData() const { return commData_; }
    const std::string& TxStatus() const { return txStatus_; }
    void SetTxStatus(std::string text) { txStatus_ = std::move(text); }
    // The link status line written when the link is opened.
    const std::string& aOpenStatus() const { return openStatus_; }
    void SetOpenStatus(std::string text) {
        openStatus_ = std::move(text);
        Changed();
    }

    void SetSendCommand(SendCommand send) { send_ = std::move(send); }
    void SetChangeHook(std::function<void()> hook) { changed_ = std::move(hook); }

private:
    void Changed();
    static void KeepTail(std::string& pane);

    platform::Platform& platform_;
    core::Reporter& reporter_;
    std::string commStatus_;
    std::string commData_;
    std::string txStatus_;
    std::string openStatus_;
    SendCommand send_;
    std::function<void()> changed_;
};

}  // namespace quorvel::cm11a
