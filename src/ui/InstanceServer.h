#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <deque>
#include <functional>

class QLocalSocket;

namespace bw {

// One Beamwright per user: the running window listens on a local socket,
// and a second start hands its request to it instead of opening the same
// network ports and PipeWire names again.
//
// The protocol is one request line and one answer line per connection:
//   "open <absolute path>\n"  ->  "opened\n", "refused\n" or "failed <why>\n"
//   "raise\n"                 ->  "raised\n"
// Anything else is answered "refused". Requests come from outside the
// process and are checked as such: a line longer than kMaxRequestBytes, a
// relative path or an unknown word is refused without reaching the window.
// An open is answered once it has ended: the show loaded, the operator kept
// the current one (or cancelled the load), or the show failed to load.
//
// Requests are handled one at a time, in the order they arrived: the open
// handler may put a question to the operator (a nested event loop) and then
// load, and the requests arriving meanwhile wait until it is answered. Until
// the handlers are set, requests wait too, so the server can listen before
// the window exists. Main thread only; the handlers run on it. forward()
// blocks and may be called from any thread.
class InstanceServer : public QObject {
    Q_OBJECT

public:
    enum class ListenResult {
        Listening,
        // Another instance answers on the socket; it was left alone.
        OtherInstance,
        // The socket could not be made (errorString() says why).
        Failed,
    };

    enum class Answer { NoInstance, NoAnswer, Opened, Refused, Failed, Raised };

    // How an open request ended, told by the open handler.
    enum class Opening { Opened, Refused, Failed };
    using OpenDone = std::function<void(Opening opening, const QString& reason)>;

    struct Handlers {
        // Asks, where there is something to lose, then opens the show at the
        // absolute path, and calls `done` once when that has ended (`reason`
        // for Failed only). `done` may be called before `open` returns.
        std::function<void(const QString& path, OpenDone done)> open;
        std::function<void()> raise;
    };

    static constexpr qsizetype kMaxRequestBytes = 8192;

    explicit InstanceServer(QObject* parent = nullptr);
    ~InstanceServer() override;

    // "$XDG_RUNTIME_DIR/beamwright-<uid>", or "beamwright-<uid>" (in Qt's
    // temporary folder) when XDG_RUNTIME_DIR is unset or empty.
    static QString socketName();

    // Listens on `name`. A socket file nobody answers on is what a crashed
    // instance leaves behind: it is removed and replaced.
    ListenResult listen(const QString& name);
    QString errorString() const { return server_.errorString(); }
    QString fullServerName() const { return server_.fullServerName(); }

    // Starts handling requests, the ones already waiting first.
    void setHandlers(Handlers handlers);

    // The requests, with the path made absolute against the working folder.
    // A path holding a line break cannot travel in one line: it gives an
    // empty request, which forward() does not send and answers Refused.
    static QByteArray openRequest(const QString& path);
    static QByteArray raiseRequest();

    // The second start's side: connects to `name`, sends `request` and waits
    // up to `timeout` for the answer. NoInstance when nothing listens there;
    // NoAnswer when an instance was reached but answered nothing it knows.
    // For Failed, `reason` (when given) says why the show did not load.
    static Answer forward(const QString& name, const QByteArray& request,
                          std::chrono::milliseconds timeout, QString* reason = nullptr);

private:
    struct Request {
        QPointer<QLocalSocket> socket;
        QByteArray line;
    };

    void acceptConnections();
    void readRequest(QLocalSocket* socket);
    void handlePending();
    // Answers `request` (now, or once its open has ended), then takes the
    // next one.
    void handle(Request request);
    void finish(const Request& request, const QByteArray& answer);
    static void reply(QLocalSocket* socket, const QByteArray& answer);

    QLocalServer server_;
    Handlers handlers_;
    std::deque<Request> pending_;
    // True from a request's start until it is answered, nested event loops
    // and loads included.
    bool handling_ = false;
};

}  // namespace bw
