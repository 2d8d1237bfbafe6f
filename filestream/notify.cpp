#include "filestream/notify.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filestream/text_convert.h"

namespace {
std::atomic<IMessagePresenter*> g_presenter{nullptr};
std::atomic<MisuseHandler> g_misuseHandler{nullptr};
}  // namespace

void SetMessagePresenter(IMessagePresenter* presenter) {
    g_presenter.store(presenter);
}

IMessagePresenter* GetMessagePresenter() {
    return g_presenter.load();
}

void PresentMessage(std::u16string_view text, MessageButtons buttons) {
    if (IMessagePresenter* presenter = g_presenter.load()) {
        presenter->Present(text, buttons);
        return;
    }
    std::string line = Utf16ToUtf8(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void NotifyUser(std::u16string_view text) {
    PresentMessage(text, MessageButtons::Ok);
}

void SetMisuseHandler(MisuseHandler handler) {
    g_misuseHandler.store(handler);
}

void NotifyUserAndExit(std::u16string_view text) {
    NotifyUser(text);
    if (MisuseHandler handler = g_misuseHandler.load()) handler();
    std::exit(0);
}
