#include "dhtml_dialog.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMimeData>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <algorithm>
#include <exception>
#include <utility>

#include "filestream/file_error.h"
#include "ui_services.h"

namespace {

// The page may show itself and nothing else: links, dropped files and scripts cannot take the
// view elsewhere.
class CLockedPage : public QWebEnginePage {
  public:
    CLockedPage(QWebEngineProfile* profile, QUrl home, QObject* parent)
        : QWebEnginePage(profile, parent), home_(std::move(home)) {}

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        return !isMainFrame || url.adjusted(QUrl::RemoveFragment) == home_;
    }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                  int line, const QString& source) override {
        if (level == ErrorMessageLevel)
            qWarning("page error: %s (%s:%d)", qPrintable(message), qPrintable(source), line);
    }

  private:
    QUrl home_;
};

QString Lower(std::u16string_view id) {
    return QString::fromUtf16(id.data(), static_cast<qsizetype>(id.size())).toLower();
}

}  // namespace

CPageBridge::CPageBridge(CDHtmlDialog& dialog) : QObject(&dialog), dialog_(dialog) {}

void CPageBridge::pageReady(const QVariantMap& values, int sequence) {
    dialog_.OnPageReady(values, sequence);
}
void CPageBridge::click(const QString& id, const QVariantMap& values, int sequence) {
    dialog_.OnClick(id, values, sequence);
}
void CPageBridge::edited(const QString& id, const QString& value, int sequence) {
    dialog_.OnEdited(id, value, sequence);
}

CDHtmlDialog::CDHtmlDialog(QUrl page, QWidget* parent) : QDialog(parent), page_(std::move(page)) {
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &CDHtmlDialog::FlushPageWrites);
    qApp->installEventFilter(this);
}

CDHtmlDialog::~CDHtmlDialog() {
    qApp->removeEventFilter(this);
    // The view takes its page with it; both must go before the profile they live in.
    delete view_;
    view_ = nullptr;
}

int CDHtmlDialog::DoModal() {
    return exec();
}

void CDHtmlDialog::EndDialog(int result) {
    QDialog::done(result);
}

void CDHtmlDialog::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool CDHtmlDialog::OnInitDialog() {
    // No storage name: nothing of the page (cache, cookies, history) is written to disk.
    profile_ = new QWebEngineProfile(this);
    view_ = new QWebEngineView(this);
    auto* page = new CLockedPage(profile_, page_.adjusted(QUrl::RemoveFragment), view_);
    page->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    page->settings()->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, true);
    page->settings()->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    channel_ = new QWebChannel(this);
    bridge_ = new CPageBridge(*this);
    channel_->registerObject(QStringLiteral("host"), bridge_);
    page->setWebChannel(channel_);

    view_->setPage(page);
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    view_->setFocus();
    // Should the page's process die, the page comes back with the values held here.
    connect(page, &QWebEnginePage::renderProcessTerminated, this,
            [this, page](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                if (status == QWebEnginePage::NormalTerminationStatus) return;
                pageReady_ = false;
                page->load(page_);
            });
    page->load(page_);
    return true;
}

void CDHtmlDialog::DoDataExchange(CDataExchange&) {}

void CDHtmlDialog::OnDropFile(const QString&) {}

bool CDHtmlDialog::UpdateData(bool saveAndValidate) {
    CDataExchange exchange(saveAndValidate);
    DoDataExchange(exchange);
    if (!saveAndValidate) SendToPage(exchange.writes_);
    return true;
}

void CDHtmlDialog::DDX_DHtml_ElementValue(CDataExchange& exchange, std::u16string_view id,
                                          std::u16string& value) {
    Exchange(exchange, id, Kind::Value, value);
}

void CDHtmlDialog::DDX_DHtml_ElementInnerText(CDataExchange& exchange, std::u16string_view id,
                                              std::u16string& value) {
    Exchange(exchange, id, Kind::Text, value);
}

void CDHtmlDialog::Exchange(CDataExchange& exchange, std::u16string_view id, Kind kind,
                            std::u16string& value) {
    const QString key = Lower(id);
    if (exchange.SaveAndValidate()) {
        // The page reports every edit of its inputs and shows what was written to it otherwise,
        // so the copy held here is what the page shows.
        auto found = elements_.constFind(key);
        value = found == elements_.constEnd() ? std::u16string() : found->text.toStdU16String();
        return;
    }
    Element& element = elements_[key];
    element.kind = kind;
    element.id = QString::fromUtf16(id.data(), static_cast<qsizetype>(id.size()));
    element.text = QString::fromStdU16String(value);
    exchange.writes_.append(QVariant(QVariantList{
        element.id, kind == Kind::Value ? QStringLiteral("value") : QStringLiteral("text"),
        element.text}));
}

void CDHtmlDialog::SendToPage(const QVariantList& writes) {
    ++writeSequence_;
    if (!pageReady_ || view_ == nullptr) return;  // the whole set goes out once the page is ready
    const QByteArray json =
        QJsonDocument(QJsonArray::fromVariantList(writes)).toJson(QJsonDocument::Compact);
    pendingWrites_ +=
        QStringLiteral("vyxApply(%1, %2);").arg(writeSequence_).arg(QString::fromUtf8(json));
    if (flushTimer_.isActive()) return;
    const qint64 since = lastFlush_.isValid() ? lastFlush_.elapsed() : kPageWriteIntervalMs;
    flushTimer_.start(static_cast<int>(std::max<qint64>(0, kPageWriteIntervalMs - since)));
}

void CDHtmlDialog::FlushPageWrites() {
    flushTimer_.stop();
    lastFlush_.start();
    const QString script = std::exchange(pendingWrites_, QString());
    // A page that is not ready gets every value once it is.
    if (script.isEmpty() || !pageReady_ || view_ == nullptr) return;
    const int sequence = writeSequence_;
    view_->page()->runJavaScript(script, [this, sequence](const QVariant&) {
        if (sequence == writeSequence_) emit pageSynced();
    });
}

void CDHtmlDialog::TakeInputValues(const QVariantMap& values, int sequence) {
    // Values the page sent before it applied the latest write are about to be overwritten there:
    // taking them would let an old text come back.
    if (sequence != writeSequence_) return;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        Element& element = elements_[it.key().toLower()];
        element.kind = Kind::Value;
        if (element.id.isEmpty()) element.id = it.key();
        element.text = it.value().toString();
    }
}

void CDHtmlDialog::OnPageReady(const QVariantMap& values, int sequence) {
    TakeInputValues(values, sequence);
    pageReady_ = true;
    // Everything written before the page was there goes to it now.
    QVariantList writes;
    for (const Element& element : std::as_const(elements_)) {
        writes.append(QVariant(QVariantList{
            element.id,
            element.kind == Kind::Value ? QStringLiteral("value") : QStringLiteral("text"),
            element.text}));
    }
    --writeSequence_;        // SendToPage counts this pass again
    pendingWrites_.clear();  // this pass holds all of them
    SendToPage(writes);
    FlushPageWrites();
    emit pageShown();
}

void CDHtmlDialog::OnClick(const QString& id, const QVariantMap& values, int sequence) {
    TakeInputValues(values, sequence);
    for (const auto& [mappedId, handler] : clickMap_) {
        if (mappedId.compare(id, Qt::CaseInsensitive) != 0) continue;
        // The channel's dispatch must return before the handler runs: while it is busy, nothing
        // else from the page arrives, not even a click on Exit during a long operation.
        QMetaObject::invokeMethod(
            this, [this, handler = handler] { RunHandler(handler); }, Qt::QueuedConnection);
        return;
    }
}

void CDHtmlDialog::OnEdited(const QString& id, const QString& value, int sequence) {
    TakeInputValues(QVariantMap{{id, value}}, sequence);
}

void CDHtmlDialog::MapClick(std::u16string_view id, std::function<void()> handler) {
    clickMap_.emplace_back(QString::fromUtf16(id.data(), static_cast<qsizetype>(id.size())),
                           std::move(handler));
}

void CDHtmlDialog::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const CFileException& error) {
        ShowMessageBox(this, QString::fromStdU16String(error.Message()));
    } catch (const std::exception& error) {
        ShowMessageBox(this, QString::fromUtf8(error.what()));
    }
}

QString CDHtmlDialog::DroppedFile(const QEvent* event) {
    const QMimeData* mime = static_cast<const QDropEvent*>(event)->mimeData();
    if (mime == nullptr || !mime->hasUrls()) return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString path = urls.front().toLocalFile();
    const QFileInfo info(path);
    return info.isFile() ? info.absoluteFilePath() : QString();
}

bool CDHtmlDialog::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QDialog::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this) return QDialog::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    if (drop->mimeData() == nullptr || !drop->mimeData()->hasUrls())
        return QDialog::eventFilter(watched, event);  // dragged text goes to the page as usual
    // A dragged file never reaches the page, which would open it in place of itself.
    const QString path = DroppedFile(event);
    if (path.isEmpty()) {
        drop->ignore();
        return true;
    }
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    if (type == QEvent::Drop) {
        QMetaObject::invokeMethod(
            this, [this, path] { RunHandler([this, path] { OnDropFile(path); }); },
            Qt::QueuedConnection);
    }
    return true;
}
