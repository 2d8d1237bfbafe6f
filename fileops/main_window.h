#pragma once
// The services the main window offers the file operations. The real window (app/) implements
// them on top of its page; tests and the headless harness implement them with a fake page.

#include <string>
#include <string_view>

// The five values the window exchanges with its page, in binding order.
struct PageFields {
    std::u16string key;           // "Key": the key text as typed or generated
    std::u16string outputFile;    // "output_file": the output path
    std::u16string complete;      // "Complete": the percentage text, e.g. u"37 %"
    std::u16string completeText;  // "CompleteText": the status label, u"Complete" once running
    std::u16string inputFile;     // "input_file": the chosen input path
};

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    // The window's one set of page values.
    virtual PageFields& Fields() = 0;

    // Copies the five current page values into Fields().
    virtual void ReadPageFields() = 0;
    // Copies all five Fields() values into the page, changed or not.
    virtual void WritePageFields() = 0;
    // At most two turns of the event loop (a window may space them out on a clock); never waits
    // when nothing is pending.
    virtual void PumpEvents() = 0;
    // A modal message box owned by the window, empty caption, single OK button.
    virtual void ShowMessage(std::u16string_view text) = 0;
    // The message that ends a completed run, shown after "100 %" with the output in place. A
    // window that reports completion its own way (a terminal) overrides it.
    virtual void ShowCompletion(std::u16string_view text) { ShowMessage(text); }

    // True once the user has asked the window to close while an operation runs: the operation
    // stops at its next pump, closes its streams and removes its incomplete output.
    virtual bool StopRequested() const { return false; }
};
