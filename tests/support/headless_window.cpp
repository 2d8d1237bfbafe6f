#include "support/headless_window.h"

#include <utility>

void HeadlessWindow::SetPage(std::u16string key, const std::filesystem::path& input,
                             const std::filesystem::path& output) {
    page.key = std::move(key);
    page.inputFile = input.u16string();
    page.outputFile = output.u16string();
}

void HeadlessWindow::ReadPageFields() {
    fields_ = page;
}

void HeadlessWindow::WritePageFields() {
    page = fields_;
    pageWrites.push_back(page);
    if (onPageWrite) onPageWrite(*this);
}

void HeadlessWindow::PumpEvents() {
    ++pumps;
    if (!onPump || inPump_) return;
    struct Reset {
        bool& flag;
        explicit Reset(bool& f) : flag(f) {}
        Reset(const Reset&) = delete;
        Reset& operator=(const Reset&) = delete;
        ~Reset() { flag = false; }
    } reset{inPump_};
    inPump_ = true;
    onPump(*this);
}

void HeadlessWindow::ShowMessage(std::u16string_view text) {
    Record({std::u16string(text), Source::Window, MessageButtons::Ok});
}

void HeadlessWindow::Present(std::u16string_view text, MessageButtons buttons) {
    Record({std::u16string(text), Source::Stream, buttons});
}

void HeadlessWindow::Record(Message message) {
    messages.push_back(std::move(message));
    if (onMessage) onMessage(*this, messages.back());
}

std::vector<std::u16string> HeadlessWindow::MessageTexts() const {
    std::vector<std::u16string> texts;
    texts.reserve(messages.size());
    for (const Message& message : messages) texts.push_back(message.text);
    return texts;
}

std::vector<std::u16string> HeadlessWindow::StatusValues() const {
    std::vector<std::u16string> values;
    values.reserve(pageWrites.size());
    for (const PageFields& fields : pageWrites) values.push_back(fields.complete);
    return values;
}
