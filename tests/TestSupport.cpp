#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

#include <chrono>
#include <fstream>
#include <thread>
#include <random>
#include <stdexcept>

#include <tarvelo/Coding.h>
#include <tarveloftp/Logger.h>

namespace tarvelo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarveloftp-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

namespace {

// Binds a socket to 127.0.0.1:port (0: any); the port bound, or 0.
uint16_t try_bind(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t length = sizeof(address);
  uint16_t bound = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    bound = ntohs(address.sin_port);
  close(fd);
  return bound;
}

// Writes all of `text` to a pipe; false when the reader is gone.
bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

uint16_t free_port() {
  // Servers also listen on the port above (administration), so both must
  // be free.
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint16_t port = try_bind(0);
    if (port != 0 && port < 65535 && try_bind(static_cast<uint16_t>(port + 1)) != 0) return port;
  }
  throw std::runtime_error("no free pair of ports");
}

int listen_raw(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int connect_raw(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_raw(int fd, const void* bytes, std::size_t size) {
  const char* next = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t sent = ::send(fd, next, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    next += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::size_t receive_raw(int fd, void* bytes, std::size_t size) {
  std::size_t total = 0;
  while (total < size) {
    ssize_t got = ::recv(fd, static_cast<char*>(bytes) + total, size - total, 0);
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

std::string ask_raw(const std::string& address, uint16_t port, const std::string& message) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(*v6);
  } else {
    return "";
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  std::string answer;
  char header[8];
  EncodeFixed64BE(header, message.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 && send_raw(fd, header, 8) &&
      send_raw(fd, message.data(), message.size()) && receive_raw(fd, header, 8) == 8) {
    uint64_t declared = DecodeFixed64BE(header);
    answer.resize(std::min<uint64_t>(declared, 1 << 20));
    char after = 0;
    if (receive_raw(fd, answer.data(), answer.size()) != declared || ::recv(fd, &after, 1, 0) != 0)
      answer.clear();
  }
  close(fd);
  return answer;
}

ChildOutput run_as_user(uint32_t uid, const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {false, "pipe failed"};
  pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return {false, "fork failed"};
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(2);
    std::string output = body();
    _exit(write_all(pipe_fds[1], output) ? 0 : 3);
  }
  close(pipe_fds[1]);
  ChildOutput result;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

FileSizeLimit::FileSizeLimit(long bytes) {
  if (getrlimit(RLIMIT_FSIZE, &m_before) != 0) return;
  rlimit limited = m_before;
  limited.rlim_cur = static_cast<rlim_t>(bytes);
  m_previous = ::signal(SIGXFSZ, SIG_IGN);
  m_active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
  if (!m_active) ::signal(SIGXFSZ, m_previous);
}

FileSizeLimit::~FileSizeLimit() {
  if (!m_active) return;
  setrlimit(RLIMIT_FSIZE, &m_before);
  ::signal(SIGXFSZ, m_previous);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment)
    : m_out(m_dir.file("stdout")), m_err(m_dir.file("stderr")) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  m_pid = fork();
  if (m_pid < 0) throw std::runtime_error("fork failed");
  if (m_pid == 0) {
    int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& variable : environment) putenv(const_cast<char*>(variable.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && m_status < 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
}

void ChildProcess::signal(int number) {
  if (m_pid > 0 && m_status < 0) kill(m_pid, number);
}

bool ChildProcess::exited() {
  int status = 0;
  if (m_status < 0 && waitpid(m_pid, &status, WNOHANG) == m_pid)
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return m_status >= 0;
}

int ChildProcess::wait(int seconds) {
  for (int i = 0; i < seconds * 100 && !exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return m_status;
}

bool ChildProcess::wait_for_output(const std::string& text, int seconds) {
  return wait_for_text(m_out, text, seconds);
}

bool ChildProcess::wait_for_error(const std::string& text, int seconds) {
  return wait_for_text(m_err, text, seconds);
}

bool ChildProcess::wait_for_text(const std::string& path, const std::string& text, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (read_text(path).find(text) != std::string::npos) return true;
    if (exited()) return read_text(path).find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string ChildProcess::read_text(const std::string& path) {
  std::vector<char> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                      int seconds) {
  ChildProcess child(argv, environment);
  int status = child.wait(seconds);
  return {status, child.out(), child.err()};
}

testing::AssertionResult failed_with(const RunResult& result, int status, const std::string& text) {
  bool status_ok = status == -1 ? result.status != 0 : result.status == status;
  if (status_ok && result.err.find(text) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "exit status " << result.status << ", wanted " << status << " and \""
                                     << text << "\" in: " << result.err;
}

std::string tool_path(const std::string& name) { return std::string(TARVELOFTP_TOOLS_DIR) + "/" + name; }

RunResult run_tool(const std::string& name, std::vector<std::string> args,
                   const std::vector<std::string>& environment) {
  args.insert(args.begin(), tool_path(name));
  return run_program(args, environment);
}

const TlsFiles& tls_files() {
  static TempDir dir;
  static const TlsFiles files = [] {
    const std::string script = R"(cd "$1" && set -e
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
for ca in ca other-ca; do
  openssl req -x509 $key -days 2 -subj "/CN=$ca test CA" -keyout $ca.key -out $ca.crt
done
for pair in "server:IP:127.0.0.1, DNS:localhost" "elsewhere:DNS:elsewhere.invalid"; do
  name=${pair%%:*}
  printf 'basicConstraints = CA:FALSE\nsubjectAltName = %s\n' "${pair#*:}" > $name.ext
  openssl req $key -subj "/CN=$name" -keyout $name.key -out $name.csr
  openssl x509 -req -days 2 -in $name.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile $name.ext -out $name.crt
done)";
    RunResult result = run_program({"/bin/sh", "-c", script, "sh", dir.path().string()});
    if (result.status != 0) throw std::runtime_error("openssl failed: " + result.err);
    return TlsFiles{dir.file("ca.crt"),        dir.file("server.crt"),    dir.file("server.key"),
                    dir.file("elsewhere.crt"), dir.file("elsewhere.key"), dir.file("other-ca.crt")};
  }();
  return files;
}

std::vector<char> random_bytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

void write_file(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!stream) throw std::runtime_error("cannot write " + path);
}

std::vector<char> read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(stream), {});
}

std::string LockedStringBuf::text() {
  std::lock_guard lock(m_mutex);
  return str();
}

std::streamsize LockedStringBuf::xsputn(const char* bytes, std::streamsize count) {
  std::lock_guard lock(m_mutex);
  return std::stringbuf::xsputn(bytes, count);
}

LockedStringBuf::int_type LockedStringBuf::overflow(int_type c) {
  std::lock_guard lock(m_mutex);
  return std::stringbuf::overflow(c);
}

CaptureLog::CaptureLog() : m_saved_out(Logger::stdout_log), m_saved_err(Logger::stderr_log) {
  Logger::redirect(&m_out, &m_err);
}

CaptureLog::~CaptureLog() { Logger::redirect(m_saved_out, m_saved_err); }

}  // namespace tarvelo::test
