#include "control/UpLoadObjCore.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/Url.h"
#include "net/WireText.h"
#include "platform/Bounded.h"
#include "platform/BuildSettings.h"
#include "platform/Env.h"
#include "store/DataFolder.h"
#include "upload/Runtime.h"
#include "upload/Uploader.h"

namespace {

constexpr size_t kUserIdSize = 100;
constexpr size_t kCookieSize = 500;  // the task's Cookie field
constexpr size_t kUrlSize = 200;
constexpr size_t kPathSize = 1024;
constexpr size_t kFilterSize = 512;
constexpr size_t kFileListSize = 16384;
constexpr size_t kEntrySize = 1024;

// Appends "<name><value in decimal>" to a status line.
void AppendNumber(std::string& out, std::string_view name, long long value) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out += name;
  out.append(digits, static_cast<size_t>(end - digits));
}

// A text fits a buffer of n bytes (n - 1 characters and the NUL).
bool Fits(const char* text, size_t n) {
  return text == nullptr || strnlen(text, n) < n;
}
const char* OrEmpty(const char* text) {
  return text ? text : "";
}

// A host of the service domain: a plain host name (net/WireText.h: it goes into Host headers
// and CONNECT lines as it is) whose last characters are the service domain suffix, compared
// byte for byte and with case.
bool IsServiceHost(const char* host) {
  const char* suffix = platform::kServiceDomainSuffix;
  size_t hl = std::strlen(host), sl = std::strlen(suffix);
  return IsPlainHostName(host) && hl >= sl && std::memcmp(host + hl - sl, suffix, sl) == 0;
}

}  // namespace

// The control's file list, shared with its dialog thread, which may outlive the control.
struct CUpLoadObjCore::FileListState {
  std::mutex Lock;
  std::condition_variable DialogEnded;
  char FileList[kFileListSize] = "NULL";
  bool DialogOpen = false;  // this control's dialog

  void Set(const std::string& text) {
    std::lock_guard<std::mutex> g(Lock);
    platform::CopyText(FileList, text);
  }
  std::string Get() {
    std::lock_guard<std::mutex> g(Lock);
    return std::string(platform::FieldView(FileList));
  }
  // The dialog's result replaces the list and the dialog counts as ended, in one step.
  void EndDialog(const std::string& text) {
    std::lock_guard<std::mutex> g(Lock);
    platform::CopyText(FileList, text);
    DialogOpen = false;
    DialogEnded.notify_all();
  }
};

CUpLoadObjCore::CUpLoadObjCore(Runtime& runtime)
    : runtime_(runtime), fileList_(std::make_shared<FileListState>()) {}

CUpLoadObjCore::~CUpLoadObjCore() = default;

void CUpLoadObjCore::InitService(const char* userId, const char* cookie, const char* dispatchUrl,
                                 int nRetry, int nWait) {
  // Identifiers that do not fit are refused whole, never cut.
  if (!Fits(userId, kUserIdSize) || !Fits(cookie, kCookieSize) || !Fits(dispatchUrl, kUrlSize)) {
    return;
  }
  UrlRecord* url = ParseUrl(OrEmpty(dispatchUrl));
  DispatchEndpointValue endpoint{};
  bool fits = !url->Truncated && platform::CopyText(endpoint.Host, url->Host) &&
              platform::CopyText(endpoint.Path, url->Path);
  endpoint.Port = url->Port;
  // https means TLS to the dispatch server and to every upload server it names; any other
  // scheme is plain HTTP, as it always was.
  endpoint.Protocol = std::strcmp(url->Scheme, "HTTPS") == 0 ? Scheme::kHttps : Scheme::kHttp;
  FreeUrl(url);
  // The domain test comes first: a refused address replaces nothing, so that later requests
  // (and the cookie they carry) never go to a foreign host.
  if (!fits || !IsServiceHost(endpoint.Host)) return;
  if (!pageHost_.empty() && !IsServiceHost(pageHost_.c_str())) return;
  runtime_.dispatch.Set(endpoint);
  runtime_.workers.SetRetry(nRetry, nWait);
  // An earlier manager is shut down first (its tasks stop, their files stay), so that the
  // reload does not give one file two tasks and two workers.
  uploader_.reset();
  uploader_ = std::make_unique<CUploader>(runtime_, OrEmpty(userId), OrEmpty(cookie));
  uploader_->LoadSavedTasks();
  fileList_->Set("NULL");
  initialized_ = true;
}

int CUpLoadObjCore::AddUpTask(int taskId, const char* filePath, const char* taskParam) {
  if (!uploader_ || filePath == nullptr) return 0;
  if (!Fits(filePath, kPathSize) || !Fits(taskParam, kPathSize)) return 0;
  return uploader_->AddTask(taskId, filePath, OrEmpty(taskParam)) ? 1 : 0;
}

int CUpLoadObjCore::DeleteUpTask(int taskId) {
  return uploader_ && uploader_->DeleteTask(taskId) ? 1 : 0;
}

int CUpLoadObjCore::ContinueUpTask(int taskId) {
  return uploader_ && uploader_->ContinueTask(taskId) ? 1 : 0;
}

int CUpLoadObjCore::StopUpTask(int taskId) {
  return uploader_ && uploader_->StopTask(taskId) ? 1 : 0;
}

std::string FormatStatusLine(const TaskState& s) {
  std::string out;
  out.reserve(256);
  out += "FileName=";
  out += s.fileName;
  AppendNumber(out, "|FileSize=", s.fileSize);
  out += "|PickCode=";
  out += s.pickCode;
  AppendNumber(out, "|Status=", s.status);
  AppendNumber(out, "|ErrCode=", s.errCode);
  AppendNumber(out, "|ServerErrCode=", s.serverErrCode);
  out += "|ServerErrMsg=";
  out += s.serverErrMsg;
  if (s.status == kStatusHashing) {
    AppendNumber(out, "|Total=", s.total);
  } else if (s.status == kStatusUploading) {
    AppendNumber(out, "|Total=", s.total);
    AppendNumber(out, "|Offset=", s.offset);
    AppendNumber(out, "|Elapsed=", s.elapsed);
    AppendNumber(out, "|TotalElapsed=", s.totalElapsed);
  } else if (s.status == kStatusRetryWait) {
    AppendNumber(out, "|Retry=", s.retry);
    AppendNumber(out, "|Wait=", s.wait);
  }
  return out;
}

bool CUpLoadObjCore::GetTaskState(int taskId, TaskState* state) {
  *state = TaskState{};
  TaskPtr task = uploader_ ? uploader_->GetTask(taskId) : nullptr;
  if (!task) return false;
  TaskRecord rec = task->Snapshot(&state->lastFailure);
  const int32_t status = rec.Status;
  // A poll starts a queued task once a slot is free; this poll still shows it queued.
  if (status == kStatusStarting && runtime_.workers.Running() < WorkerPool::kMaxRunning) {
    runtime_.workers.Start(task);
  }
  const TaskProgress& p = task->Progress;
  state->fileName = platform::FieldView(rec.FileName);
  state->fileSize = rec.FileSize;
  state->pickCode = platform::FieldView(rec.PickCode);
  state->status = status;
  state->errCode = rec.ErrCode;
  state->serverErrCode = rec.ServerErrCode;
  state->serverErrMsg = platform::FieldView(rec.ServerErrMsg);
  state->alreadyOnServer = status == kStatusCompleted && !rec.NeedUpload;
  if (status == kStatusHashing) {
    state->total = p.HashPercent.load();
  } else if (status == kStatusUploading) {
    const int32_t elapsed = p.Elapsed.load();
    state->total = p.Transferred.load();
    state->offset = rec.Offset;
    state->elapsed = elapsed;
    state->totalElapsed = p.PastElapsed.load() + elapsed;
  } else if (status == kStatusRetryWait) {
    state->retry = rec.Retry;
    state->wait = rec.Wait;
  }
  return true;
}

bool CUpLoadObjCore::GetTaskInfo(int taskId, std::string* line) {
  TaskState state;
  if (!GetTaskState(taskId, &state)) {
    *line = "NULL";
    return false;
  }
  *line = FormatStatusLine(state);
  return true;
}

int CUpLoadObjCore::GetTaskCount() {
  return initialized_ && uploader_ ? uploader_->GetTaskCount() : 0;
}

const char* CUpLoadObjCore::GetVersionInfo() {
  static const std::string text = std::string("Tavik Upload Plug-in v") + platform::kVersion;
  return text.c_str();
}

void CUpLoadObjCore::SelectFileList(const char* filter) {
  std::vector<std::string> items;
  if (filter != nullptr && Fits(filter, kFilterSize)) {
    // Items end at the first empty one, so a trailing "|" changes nothing.
    const char* p = filter;
    for (;;) {
      const char* bar = std::strchr(p, '|');
      std::string item = bar ? std::string(p, bar) : std::string(p);
      if (item.empty()) break;
      items.push_back(item);
      if (!bar) break;
      p = bar + 1;
    }
  }
  bool expected = false;
  std::shared_ptr<std::atomic<bool>> open = runtime_.fileDialogOpen;
  if (!open->compare_exchange_strong(expected, true)) return;
  std::shared_ptr<FileListState> state = fileList_;
  FileChooser chooser = chooser_;
  platform::Env* env = &runtime_.env;
  {
    std::lock_guard<std::mutex> g(state->Lock);
    state->DialogOpen = true;
  }
  try {
    // The dialog thread owns what it writes (the list state, the open flag): the control and
    // its runtime may be gone before the user closes the dialog. The Env is the process's.
    std::thread([state, chooser, items, open, env] {
      std::string selection;
      const bool chosen = chooser && chooser(items, &selection);
      *open = false;
      state->EndDialog(chosen ? BuildFileListText(*env, selection) : "NULL");
    }).detach();
  } catch (const std::system_error&) {
    *open = false;
    state->EndDialog("NULL");
  }
}

std::string CUpLoadObjCore::GetFileList() {
  return fileList_->Get();
}

void CUpLoadObjCore::DeleteFileList() {
  fileList_->Set("NULL");
}

void CUpLoadObjCore::OnDestroy() {
  if (!initialized_) return;
  uploader_.reset();
  initialized_ = false;
}

std::string CUpLoadObjCore::TaskFileFolder() const {
  std::string folder;
  if (!uploader_ || !DataFolderPath(runtime_.env, uploader_->UserID(), &folder)) return "";
  return folder;
}

std::vector<int> CUpLoadObjCore::TaskIds() {
  return uploader_ ? uploader_->TaskIds() : std::vector<int>{};
}

uint64_t CUpLoadObjCore::WaitForChange(uint64_t seen, int timeoutMs) {
  return runtime_.changes.WaitBeyond(seen, timeoutMs);
}

bool CUpLoadObjCore::WaitForFileDialog(int timeoutMs) {
  std::unique_lock<std::mutex> g(fileList_->Lock);
  return fileList_->DialogEnded.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                         [this] { return !fileList_->DialogOpen; });
}

bool CUpLoadObjCore::WaitUntilIdle(int timeoutMs) {
  const bool workers = runtime_.workers.WaitIdle(timeoutMs);
  return runtime_.deletions.WaitIdle(timeoutMs) && workers;
}

bool CUpLoadObjCore::Shutdown(int timeoutMs) {
  OnDestroy();
  return WaitUntilIdle(timeoutMs);
}

void CUpLoadObjCore::SetFileChooser(FileChooser chooser) {
  chooser_ = std::move(chooser);
}

void CUpLoadObjCore::SetPageHost(const std::string& host) {
  pageHost_ = host;
}

std::string BuildFileListText(platform::Env& env, const std::string& selection) {
  // NUL-separated texts ending with an empty text.
  std::vector<std::string> texts;
  size_t pos = 0;
  while (pos < selection.size()) {
    size_t end = selection.find('\0', pos);
    if (end == std::string::npos) end = selection.size();
    if (end == pos) break;
    texts.push_back(selection.substr(pos, end - pos));
    pos = end + 1;
  }
  if (texts.empty() || texts[0].size() >= kEntrySize) return "NULL";
  std::vector<std::string> paths;
  if (texts.size() == 1) {
    paths.push_back(texts[0]);
  } else {
    for (size_t i = 1; i < texts.size(); ++i) {
      paths.push_back(texts[0] + platform::kPathSep + texts[i]);
    }
  }
  std::string list;
  for (size_t i = 0; i < paths.size(); ++i) {
    int64_t size = 0;
    if (!env.FileSize(paths[i], &size)) size = 0;
    char sizeText[32];
    platform::FormatText(sizeText, sizeof sizeText, "*%lld", static_cast<long long>(size));
    std::string entry = paths[i] + sizeText;
    if (i + 1 < paths.size()) entry += '|';
    // A selection that does not fit whole is refused rather than cut.
    if (entry.size() >= kEntrySize || list.size() + entry.size() >= kFileListSize) return "NULL";
    list += entry;
  }
  return list;
}
