#include "support/localhttpserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace ostra::test {

namespace {

const char* const kServer = R"PY(
import base64, datetime, hashlib, json, re, ssl, sys, threading, time, urllib.parse
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

script, lock, out = {}, threading.Lock(), threading.Lock()
cfg = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
offset = cfg.get("clockOffset", 0)
tls = None
if cfg.get("cert"):
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cfg["cert"], cfg["key"])

def check_sigv4(handler, body):
    # The object store's check, computed by botocore: signature, clock and body hash.
    from botocore.auth import S3SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials
    m = re.match(r"AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/s3/aws4_request,"
                 r"SignedHeaders=([^,]+),Signature=([0-9a-f]{64})$", handler.headers.get("Authorization", ""))
    if not m or m.group(1) != cfg["accessKey"]:
        return 403, "InvalidAccessKeyId"
    stamp = handler.headers.get("x-amz-date", "")
    try:
        when = datetime.datetime.strptime(stamp, "%Y%m%dT%H%M%SZ")
    except ValueError:
        return 403, "AccessDenied"
    if abs((when - datetime.datetime.utcnow()).total_seconds() - offset) > 900 or m.group(2) != stamp[:8]:
        return 403, "RequestTimeTooSkewed"
    if handler.headers.get("Content-MD5") != base64.b64encode(hashlib.md5(body).digest()).decode():
        return 400, "BadDigest"
    host = handler.headers.get("Host")
    path = urllib.parse.quote(urllib.parse.unquote(urllib.parse.urlsplit(handler.path).path), safe="/~")
    names = m.group(4).split(";")
    request = AWSRequest(method=handler.command, url="https://" + host + path,
                         headers={n: handler.headers.get(n, "") for n in names}, data=body)
    request.context["timestamp"] = stamp
    signer = S3SigV4Auth(Credentials(cfg["accessKey"], cfg["secretKey"]), "s3", m.group(3))
    expected = signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request)
    return (None, None) if expected == m.group(5) else (403, "SignatureDoesNotMatch")

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
        # A proxied plain request names the whole URL.
        path = urllib.parse.urlsplit(self.path)._replace(scheme="", netloc="").geturl() or "/"
        emit({"request": {"method": self.command, "path": path, "tls": self.tls,
                          "headers": {k.lower(): v for k, v in self.headers.items()},
                          "body": base64.b64encode(body).decode()}})
        with lock:
            queue = script.get(self.command + " " + urllib.parse.unquote(path.split("?")[0]), [])
            r = queue.pop(0) if len(queue) > 1 else (queue[0] if queue else None)
        r = r or {"status": 404, "headers": [], "body": "", "delay": 0}
        if cfg.get("accessKey") and self.command == "PUT":
            status, code = check_sigv4(self, body)
            if status:
                r = {"status": status, "headers": [], "delay": 0,
                     "body": base64.b64encode(("<Error><Code>%s</Code></Error>" % code).encode()).decode()}
        if r["delay"]:
            time.sleep(r["delay"] / 1000.0)
        data = base64.b64decode(r["body"])
        names = [k.lower() for k, _ in r["headers"]]
        try:
            self.send_response_only(r["status"])
            if "date" not in names:
                self.send_header("Date", formatdate(time.time() + offset, usegmt=True))
            for k, v in r["headers"]:
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass

    do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = answer
    tls = False

    def do_CONNECT(self):
        # An application proxy: the tunnel ends here, in TLS with the test's certificate.
        emit({"request": {"method": "CONNECT", "path": self.path, "tls": False, "headers": {}, "body": ""}})
        self.send_response_only(200)
        self.end_headers()
        if not tls:
            return
        try:
            self.connection = tls.wrap_socket(self.connection, server_side=True)
        except (ssl.SSLError, OSError):
            emit({"request": {"method": "HANDSHAKE-FAILED", "path": self.path, "tls": False, "headers": {},
                              "body": ""}})
            self.close_connection = True
            return
        self.tls = True
        self.rfile = self.connection.makefile("rb")
        self.wfile = self.connection.makefile("wb", buffering=0)

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
    return start(Options());
}

bool LocalHttpServer::start(const Options& options)
{
    const QJsonObject config { { "cert", options.certFile }, { "key", options.keyFile },
        { "clockOffset", options.clockOffsetSecs }, { "accessKey", QString::fromLatin1(options.accessKey) },
        { "secretKey", QString::fromLatin1(options.secretKey) } };
    // Debian's interpreter, with Debian's python3-botocore, when it is there.
    QString python
        = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
    if (python.isEmpty())
        python = QStringLiteral("python3");
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(python,
        { QStringLiteral("-u"), QStringLiteral("-c"), QLatin1String(kServer),
            QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact)) });
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

bool LocalHttpServer::makeCertificate(
    const QString& folder, const QStringList& hosts, QString* certFile, QString* keyFile)
{
    *certFile = folder + QStringLiteral("/server.crt");
    *keyFile = folder + QStringLiteral("/server.key");
    QStringList names;
    for (const QString& host : hosts)
        names << QStringLiteral("DNS:") + host;
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
            QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
            QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=") + hosts.value(0),
            QStringLiteral("-addext"), QStringLiteral("subjectAltName=") + names.join(QLatin1Char(',')),
            QStringLiteral("-keyout"), *keyFile, QStringLiteral("-out"), *certFile });
    return openssl.waitForFinished(kStartMs) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0;
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
            request.tls = r.value(QLatin1String("tls")).toBool();
            m_requests.append(request);
        }
    }
    return m_acks;
}

} // namespace ostra::test
