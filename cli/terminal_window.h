#pragma once
// The operations' window on a terminal: the page is a few strings, messages are lines on standard
// error ("vyx: FILE: text"), and the status row becomes a progress line redrawn in place. It also
// presents the file stream's own messages, so every message of a run comes out the same way.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "fileops/main_window.h"
#include "filestream/notify.h"

class TerminalWindow : public IMainWindow, public IMessagePresenter {
  public:
    struct Options {
        bool progress = false;    // redraw a progress line as the status row changes
        bool completion = false;  // a line "vyx: FILE -> OUTPUT" for each file that completes
        // The completion line waits for ReportCommitted: the output is not yet durable when
        // its run ends.
        bool deferCompletion = false;
    };
    explicit TerminalWindow(Options options) : options_(options) {}

    // Puts one file's run on the page. fileName and outputName are how they are shown (quoted);
    // inputSize (when known) gives the progress line its rate and time left. Without it, and
    // with lengthUnknown, the progress line counts the bytes read instead (CountBytes).
    void BeginFile(std::u16string key, std::u16string inputPath, std::u16string outputPath,
                   std::string fileName, std::string outputName,
                   std::optional<std::uint64_t> inputSize, bool lengthUnknown = false);
    // The bytes read so far of an input of unknown length; redraws the progress line now and
    // then.
    void CountBytes(std::uint64_t bytes);
    // Ends the file's run: clears its progress line and forgets its key.
    void EndFile();

    // The completion line of a file whose deferred commit is durable now.
    void ReportCommitted(const std::string& fileName, const std::string& outputName);
    // The error of a file whose deferred commit failed, shown as its run would have shown it.
    void ReportFailed(std::u16string inputPath, std::u16string outputPath, std::string fileName,
                      std::string outputName, std::u16string_view text);

    PageFields& Fields() override { return fields_; }
    void ReadPageFields() override { fields_ = page_; }
    void WritePageFields() override;
    void PumpEvents() override {}
    void ShowMessage(std::u16string_view text) override;
    // A completed run: "vyx: FILE -> OUTPUT" when asked for, instead of the window's text.
    void ShowCompletion(std::u16string_view text) override;
    void Present(std::u16string_view text, MessageButtons buttons) override;

  private:
    void PrintMessage(std::u16string_view text);
    void DrawProgress();
    void DrawByteCount();
    void ClearProgress();

    Options options_;
    PageFields page_;
    PageFields fields_;
    std::string fileName_;
    std::string outputName_;
    std::optional<std::uint64_t> inputSize_;
    bool lengthUnknown_ = false;
    std::uint64_t bytesRead_ = 0;
    std::chrono::steady_clock::time_point lastDrawn_;
    std::u16string shown_;  // the percentage text the progress line shows
    std::chrono::steady_clock::time_point started_;
    bool finished_ = false;       // the run has completed: no more progress to draw
    bool progressDrawn_ = false;  // a progress line is on the screen
};

// One line to standard error, "vyx: " and the text, in one write.
void PrintError(std::string_view text);

// Sends what PrintError is given to sink instead (without the "vyx: " and the line's end), until
// it is set empty again.
void SetErrorSink(std::function<void(std::string_view)> sink);

// Whether a write to standard error has failed: the exit status must say so.
bool ErrorOutputFailed();
