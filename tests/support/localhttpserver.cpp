#include "support/localhttpserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ostra::test {

namespace {

const char* const kServer = R"PY(
import base64, json, sys, threading, time
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

script, lock, out = {}, threading.Lock(), threading.Lock()

def emit(obj):
    with out:
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        emit({"request": {"method": self.command, "path": self.path,
                          "headers": {k.lower(): v for k, v in self.headers.items()},
                          "body": base64.b64encode(body).decode()}})
        with lock:
            queue = script.get(self.command + " " + self.path.split("?")[0], [])
            r = queue.pop(0) if len(queue) > 1 else (queue[0] if queue else None)
        r = r or {"status": 404, "headers": [], "body": "", "delay": 0}
        if r["delay"]:
            time.sleep(r["delay"] / 1000.0)
        data = base64.b64decode(r["body"])
        names = [k.lower() for k, _ in r["headers"]]
        try:
            self.send_response_only(r["status"])
            if "date" not in names:
                self.send_header("Date", formatdate(usegmt=True))
            for k, v in r["headers"]:
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = answer

server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()
emit({"port": server.server_address[1]})
acks = 0
for line in sys.stdin:
    c = json.loads(line)
    with lock:
        script.setdefault(c["method"] + " " + c["path"], []).append(c)
    acks += 1
    emit({"ack": acks})
server.shutdown()
)PY";

constexpr int kStartMs = 20000;

} // namespace

LocalHttpServer::LocalHttpServer()
    : m_process(std::make_unique<QProcess>())
{ }

LocalHttpServer::~LocalHttpServer()
{
    if (m_process->state() == QProcess::NotRunning)
        return;
    m_process->closeWriteChannel();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool LocalHttpServer::start()
{
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(
        QStringLiteral("python3"), { QStringLiteral("-u"), QStringLiteral("-c"), QLatin1String(kServer) });
    if (!m_process->waitForStarted(kStartMs))
        return false;
    QDeadlineTimer deadline(kStartMs);
    while (m_port == 0 && !deadline.hasExpired() && m_process->state() == QProcess::Running)
        pump(50);
    return m_port != 0;
}

QUrl LocalHttpServer::url(const QString& path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_port);
    url.setPath(path);
    return url;
}

bool LocalHttpServer::respond(const QByteArray& method, const QByteArray& path, const Response& response)
{
    QJsonArray headers;
    for (const auto& [name, value] : response.headers)
        headers.append(QJsonArray { QString::fromLatin1(name), QString::fromLatin1(value) });
    const QJsonObject command { { "method", QString::fromLatin1(method) },
        { "path", QString::fromLatin1(path) }, { "status", response.status }, { "headers", headers },
        { "body", QString::fromLatin1(response.body.toBase64()) }, { "delay", response.delayMs } };
    const int wanted = m_acks + 1;
    m_process->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    QDeadlineTimer deadline(kStartMs);
    while (m_acks < wanted && !deadline.hasExpired() && m_process->state() == QProcess::Running)
        pump(50);
    return m_acks >= wanted;
}

QList<LocalHttpServer::Request> LocalHttpServer::requests()
{
    pump(0);
    return m_requests;
}

bool LocalHttpServer::waitForRequests(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_requests.size() < count && !deadline.hasExpired()) {
        pump(10);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return m_requests.size() >= count;
}

int LocalHttpServer::pump(int waitMs)
{
    if (waitMs > 0 && !m_process->bytesAvailable())
        m_process->waitForReadyRead(waitMs);
    m_pending += m_process->readAllStandardOutput();
    int newline;
    while ((newline = m_pending.indexOf('\n')) >= 0) {
        const QJsonObject line = QJsonDocument::fromJson(m_pending.left(newline)).object();
        m_pending.remove(0, newline + 1);
        if (line.contains(QLatin1String("port"))) {
            m_port = quint16(line.value(QLatin1String("port")).toInt());
        } else if (line.contains(QLatin1String("ack"))) {
            m_acks = line.value(QLatin1String("ack")).toInt();
        } else if (line.contains(QLatin1String("request"))) {
            const QJsonObject r = line.value(QLatin1String("request")).toObject();
            Request request;
            request.method = r.value(QLatin1String("method")).toString().toLatin1();
            request.path = r.value(QLatin1String("path")).toString().toLatin1();
            const QJsonObject headers = r.value(QLatin1String("headers")).toObject();
            for (auto it = headers.begin(); it != headers.end(); ++it)
                request.headers.insert(it.key().toLatin1(), it.value().toString().toLatin1());
            request.body = QByteArray::fromBase64(r.value(QLatin1String("body")).toString().toLatin1());
            m_requests.append(request);
        }
    }
    return m_acks;
}

} // namespace ostra::test
