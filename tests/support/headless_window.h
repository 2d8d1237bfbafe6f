#pragma once
// A main window without a window: the page is five strings in memory. It records every page write
// and every message, counts pumps, and lets its owner act from inside a pump or a message box
// (start a nested run, ask the run to stop). Installed as the file stream's message presenter it
// records the stream's own messages too, in the same log, so the order of all messages is kept.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fileops/main_window.h"
#include "filestream/notify.h"

class HeadlessWindow : public IMainWindow, public IMessagePresenter {
  public:
    enum class Source { Window, Stream };
    struct Message {
        std::u16string text;
        Source source = Source::Window;
        MessageButtons buttons = MessageButtons::Ok;
    };

    HeadlessWindow() = default;
    explicit HeadlessWindow(PageFields initialPage) : page(std::move(initialPage)) {}

    // What the page shows; ReadPageFields copies it into Fields(), WritePageFields back.
    PageFields page;
    // A snapshot of the page after every WritePageFields.
    std::vector<PageFields> pageWrites;
    // Every message, the window's and the stream's, in the order shown.
    std::vector<Message> messages;
    int pumps = 0;
    bool stopRequested = false;

    // Called from inside PumpEvents, never re-entered: a pump inside the callback (a nested run's)
    // does not call it again. It must not replace itself while it runs.
    std::function<void(HeadlessWindow&)> onPump;
    // Called after a message is recorded, as if while its box is up.
    std::function<void(HeadlessWindow&, const Message&)> onMessage;
    // Called after a page write is recorded.
    std::function<void(HeadlessWindow&)> onPageWrite;

    // Puts the three values a run reads on the page.
    void SetPage(std::u16string key, const std::filesystem::path& input,
                 const std::filesystem::path& output);

    PageFields& Fields() override { return fields_; }
    void ReadPageFields() override;
    void WritePageFields() override;
    void PumpEvents() override;
    void ShowMessage(std::u16string_view text) override;
    bool StopRequested() const override { return stopRequested; }
    void Present(std::u16string_view text, MessageButtons buttons) override;

    // The texts of all messages, in order.
    std::vector<std::u16string> MessageTexts() const;
    // The "Complete" value of every page write, in order.
    std::vector<std::u16string> StatusValues() const;

  private:
    void Record(Message message);

    PageFields fields_;
    bool inPump_ = false;
};
