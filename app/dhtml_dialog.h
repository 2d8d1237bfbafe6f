#pragma once
// A dialog whose whole client area is an HTML page: clicks on page elements are routed to
// handlers by element id, and values or inner texts are exchanged with elements by id.

#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWebChannel;
class QWebEngineProfile;
class QWebEngineView;
class CDHtmlDialog;

// The page's end of the conversation, published to the page script through the web channel.
class CPageBridge : public QObject {
    Q_OBJECT
  public:
    explicit CPageBridge(CDHtmlDialog& dialog);

  public slots:
    // The page script has set itself up; values holds the current text of every text input.
    void pageReady(const QVariantMap& values, int sequence);
    // An element was clicked; values as for pageReady, taken at the moment of the click.
    void click(const QString& id, const QVariantMap& values, int sequence);
    // The user changed a text input.
    void edited(const QString& id, const QString& value, int sequence);

  private:
    CDHtmlDialog& dialog_;
};

// Moves values between the page and the dialog's variables, in one direction per pass.
class CDataExchange {
  public:
    explicit CDataExchange(bool saveAndValidate) : saveAndValidate_(saveAndValidate) {}
    bool SaveAndValidate() const { return saveAndValidate_; }

  private:
    friend class CDHtmlDialog;
    bool saveAndValidate_;
    QVariantList writes_;  // [id, kind, text] entries sent to the page when writing
};

class CDHtmlDialog : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CDHtmlDialog)
  public:
    explicit CDHtmlDialog(QUrl page, QWidget* parent = nullptr);
    ~CDHtmlDialog() override;

    // Shows the dialog and runs its event loop until EndDialog; returns the result given there.
    virtual int DoModal();
    // Ends the modal run with result (1 OK, 2 cancel).
    virtual void EndDialog(int result);

    // True once the page has loaded and its script has reported in.
    bool IsPageReady() const { return pageReady_; }
    QWebEngineView* View() const { return view_; }

    // Copies page to variables (saveAndValidate) or variables to page through DoDataExchange.
    bool UpdateData(bool saveAndValidate = true);

  signals:
    // The page has loaded and its script is talking to the dialog.
    void pageShown();
    // The page has applied every value written to it so far.
    void pageSynced();

  protected:
    // Called once before the dialog first appears: creates the view and loads the page.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange& exchange);
    // Called with the local path of a file dropped on the window.
    virtual void OnDropFile(const QString& path);

    // The value of a text input, bound by element id (letter case is not significant).
    void DDX_DHtml_ElementValue(CDataExchange& exchange, std::u16string_view id,
                                std::u16string& value);
    // The inner text of an element, bound by element id.
    void DDX_DHtml_ElementInnerText(CDataExchange& exchange, std::u16string_view id,
                                    std::u16string& value);

    // The click map: a click on the element with this id runs the handler. Handlers run from the
    // event loop, after the page's message has been taken, so a click made while another handler
    // pumps events is handled inside that pump.
    void MapClick(std::u16string_view id, std::function<void()> handler);

    // Values written reach the page together, at most every kPageWriteIntervalMs: an operation
    // writes its status many times a frame, and each script and each frame costs the page's
    // processes far more than one more value. Every value still reaches the page, in order.
    // FlushPageWrites sends those held back at once. Five times a second keeps a percentage
    // moving; on two processors each frame more is taken from the run itself.
    static constexpr int kPageWriteIntervalMs = 200;
    void FlushPageWrites();

    // Runs a handler on behalf of the page: an error of the platform's file operations that
    // reaches this point is shown to the user instead of ending the program.
    void RunHandler(const std::function<void()>& handler);

    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    friend class CPageBridge;
    enum class Kind { Value, Text };
    struct Element {
        Kind kind = Kind::Value;
        QString id;  // as the binding names it
        QString text;
    };
    void Exchange(CDataExchange& exchange, std::u16string_view id, Kind kind,
                  std::u16string& value);
    void TakeInputValues(const QVariantMap& values, int sequence);
    void OnPageReady(const QVariantMap& values, int sequence);
    void OnClick(const QString& id, const QVariantMap& values, int sequence);
    void OnEdited(const QString& id, const QString& value, int sequence);
    void SendToPage(const QVariantList& writes);
    static QString DroppedFile(const QEvent* event);

    QUrl page_;
    QWebEngineProfile* profile_ = nullptr;
    QWebEngineView* view_ = nullptr;
    QWebChannel* channel_ = nullptr;
    CPageBridge* bridge_ = nullptr;
    bool initialised_ = false;
    bool pageReady_ = false;
    int writeSequence_ = 0;  // counts the passes that wrote to the page
    QString pendingWrites_;  // passes not yet sent to the page, as one script
    QTimer flushTimer_;
    QElapsedTimer lastFlush_;
    QHash<QString, Element>
        elements_;  // the page's values as last written or reported, by lower-case id
    std::vector<std::pair<QString, std::function<void()>>> clickMap_;
};
