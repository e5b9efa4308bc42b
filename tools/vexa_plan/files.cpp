#include "files.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;

namespace vexa_plan {
namespace {

namespace fs = std::filesystem;

std::string directory_of(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

std::string system_error(int error) { return std::strerror(error); }

// A file created under a fresh temporary name next to `path`; removed again
// unless it was renamed into place.
class TemporaryFile {
 public:
  static std::expected<TemporaryFile, std::string> next_to(const std::string& path) {
    std::string name = directory_of(path) + "/." + fs::path(path).filename().string() + ".XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int descriptor = mkstemp(buffer.data());
    if (descriptor < 0) {
      return std::unexpected(system_error(errno));
    }
    // mkstemp creates the file readable by its owner only; give it the mode
    // any newly created file gets.
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(descriptor, static_cast<mode_t>(0666 & ~mask));
    return TemporaryFile(buffer.data(), descriptor);
  }

  TemporaryFile(TemporaryFile&& other) noexcept
      : name_(std::move(other.name_)), descriptor_(other.descriptor_), keep_(other.keep_) {
    other.descriptor_ = -1;
    other.keep_ = true;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile& operator=(TemporaryFile&&) = delete;

  ~TemporaryFile() {
    close();
    if (!keep_) {
      (void)unlink(name_.c_str());
    }
  }

  [[nodiscard]] const std::string& name() const { return name_; }

  std::expected<void, std::string> write(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(descriptor_, text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return std::unexpected(system_error(errno));
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  }

  // Flushes and closes the file; it stays on disk until renamed or destroyed.
  std::expected<void, std::string> finish() {
    if (fsync(descriptor_) != 0) {
      return std::unexpected(system_error(errno));
    }
    const int result = ::close(descriptor_);
    descriptor_ = -1;
    if (result != 0) {
      return std::unexpected(system_error(errno));
    }
    return {};
  }

  std::expected<void, std::string> rename_to(const std::string& path) {
    if (std::rename(name_.c_str(), path.c_str()) != 0) {
      return std::unexpected(system_error(errno));
    }
    keep_ = true;
    return {};
  }

 private:
  TemporaryFile(std::string name, int descriptor) : name_(std::move(name)), descriptor_(descriptor) {}

  void close() {
    if (descriptor_ >= 0) {
      (void)::close(descriptor_);
      descriptor_ = -1;
    }
  }

  std::string name_;
  int descriptor_ = -1;
  bool keep_ = false;
};

bool executable_file(const std::string& path) {
  struct stat status{};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::expected<void, std::string> check_writable(const std::string& path) {
  if (path.empty()) {
    return std::unexpected(std::string("the path is empty"));
  }
  std::error_code error;
  if (fs::is_directory(path, error)) {
    return std::unexpected(std::string("it is a directory"));
  }
  const std::string directory = directory_of(path);
  if (!fs::is_directory(directory, error)) {
    return std::unexpected("the directory " + directory + " does not exist");
  }
  if (access(directory.c_str(), W_OK) != 0) {
    return std::unexpected("the directory " + directory + " is not writable: " + system_error(errno));
  }
  return {};
}

std::expected<void, std::string> write_atomically(const std::string& path, std::string_view text) {
  auto file = TemporaryFile::next_to(path);
  if (!file) {
    return std::unexpected(file.error());
  }
  if (auto written = file->write(text); !written) {
    return written;
  }
  if (auto finished = file->finish(); !finished) {
    return finished;
  }
  return file->rename_to(path);
}

std::optional<std::string> find_program(std::string_view name) {
  if (name.find('/') != std::string_view::npos) {
    return executable_file(std::string(name)) ? std::optional<std::string>(name) : std::nullopt;
  }
  const char* search_path = std::getenv("PATH");
  if (search_path == nullptr) {
    return std::nullopt;
  }
  std::string_view rest(search_path);
  while (true) {
    const std::size_t colon = rest.find(':');
    const std::string_view directory = rest.substr(0, colon);
    const std::string candidate = (directory.empty() ? std::string(".") : std::string(directory)) + "/" +
                                  std::string(name);
    if (executable_file(candidate)) {
      return candidate;
    }
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    rest.remove_prefix(colon + 1);
  }
}

std::expected<void, std::string> render_svg(const std::string& dot_program, std::string_view dot_text,
                                            const std::string& path) {
  auto input = TemporaryFile::next_to(path);
  if (!input) {
    return std::unexpected(input.error());
  }
  if (auto written = input->write(dot_text); !written) {
    return written;
  }
  if (auto finished = input->finish(); !finished) {
    return finished;
  }
  auto output = TemporaryFile::next_to(path);
  if (!output) {
    return std::unexpected(output.error());
  }
  std::vector<std::string> arguments{"dot", "-Tsvg", "-o", output->name(), input->name()};
  std::vector<char*> argv;
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  if (const int error = posix_spawn(&child, dot_program.c_str(), nullptr, nullptr, argv.data(), environ); error != 0) {
    return std::unexpected("cannot run " + dot_program + ": " + system_error(error));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return std::unexpected("cannot wait for " + dot_program + ": " + system_error(errno));
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::unexpected(dot_program + " failed" +
                           (WIFEXITED(status) ? " with exit status " + std::to_string(WEXITSTATUS(status))
                                              : std::string(" (stopped by a signal)")));
  }
  if (auto finished = output->finish(); !finished) {
    return finished;
  }
  return output->rename_to(path);
}

}  // namespace vexa_plan
