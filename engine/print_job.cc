// Printing to PDF: the browser hands the document over as a stream, read in
// chunks and written to the file as they arrive, never held whole.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "engine/devtools_util.h"
#include "engine/engine_log.h"
#include "engine/page_session.h"

namespace engine {
namespace {
constexpr size_t kPdfChunkBytes = 2 << 20;
}

struct PageSession::PrintJob {
  std::string path;
  std::shared_ptr<PdfPrintCallback> callback;
  int fd = -1;
  std::string stream;
  bool done = false;
};

void PageSession::PrintToPDF(const std::string& path, const PdfPrintSettings& s,
                             std::shared_ptr<PdfPrintCallback> callback) {
  auto job = std::make_shared<PrintJob>();
  job->path = path;
  job->callback = std::move(callback);
  // Not truncated until the browser has the document: a target written in
  // place keeps its earlier contents when the print fails.
  job->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  std::weak_ptr<PageSession> weak = shared_from_this();
  if (job->fd < 0 || sessionId_.empty()) {
    EngineLog("PrintToPDF: cannot write " + path + ": " + std::strerror(errno));
    PostTask([weak, job] {
      if (auto self = weak.lock()) self->PrintDone(job, false);
    });
    return;
  }
  int wire = SendPage("Page.printToPDF", Json(PrintParams(s)), [weak, job](const Json& m) {
    auto self = weak.lock();
    if (!self) return;
    if (!m.contains("result") || !m["result"].contains("stream")) {
      EngineLog("Page.printToPDF failed: " + m.value("error", Json::object()).dump());
      self->PrintDone(job, false);
      return;
    }
    job->stream = m["result"].value("stream", "");
    struct stat st {};
    if (fstat(job->fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(job->fd, 0) != 0)) {
      EngineLog("PrintToPDF: cannot write " + job->path + ": " + std::strerror(errno));
      self->PrintDone(job, false);
      return;
    }
    self->PrintRead(job);
  });
  if (!wire) PrintDone(job, false);
}

void PageSession::PrintRead(std::shared_ptr<PrintJob> job) {
  std::weak_ptr<PageSession> weak = shared_from_this();
  int wire = SendPage("IO.read", Json{{"handle", job->stream}, {"size", kPdfChunkBytes}}, [weak, job](const Json& m) {
    auto self = weak.lock();
    if (!self) return;
    if (!m.contains("result")) {
      self->PrintDone(job, false);
      return;
    }
    const Json& r = m["result"];
    std::string data = r.value("data", "");
    std::string bytes;
    bool ok = true;
    if (r.value("base64Encoded", false))
      ok = Base64Decode(data, bytes);
    else
      bytes = std::move(data);
    if (ok) ok = WriteAll(job->fd, bytes);
    if (!ok) {
      EngineLog("PrintToPDF: writing " + job->path + " failed");
      self->PrintDone(job, false);
    } else if (r.value("eof", false)) {
      self->PrintDone(job, true);
    } else {
      self->PrintRead(job);
    }
  });
  if (!wire) PrintDone(job, false);
}

void PageSession::PrintDone(std::shared_ptr<PrintJob> job, bool ok) {
  if (job->done) return;
  job->done = true;
  if (!job->stream.empty()) SendPage("IO.close", Json{{"handle", job->stream}});
  if (job->fd >= 0) {
    if (close(job->fd) != 0) ok = false;
    job->fd = -1;
  }
  if (job->callback) job->callback->OnPdfPrintFinished(job->path, ok);
}

}  // namespace engine
