#include "core/fpga/snn_csim_cache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/errors.hpp"
#include "core/fpga/snn_csim.hpp"
#include "core/io/temp_file.hpp"
#include "core/io/whole_file.hpp"
#include "core/tools/sha256.hpp"

namespace zelka::fpga::snn {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kept_digest_digits = 16;

// `text` preceded by its length, so that no two sequences of parts hash alike.
void add_part(tools::Sha256& hash, const std::string& text) {
  hash.update(std::to_string(text.size()) + ":");
  hash.update(text);
}

// The regular files below `folder`, as paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  fs::recursive_directory_iterator entry(folder, error), end;
  for (; !error && entry != end; entry.increment(error))
    if (entry->is_regular_file(error))
      files.push_back(fs::relative(entry->path(), folder).string());
  if (error) throw OSError(error.value(), folder);
  std::sort(files.begin(), files.end());
  return files;
}

// Whether `file` is a program kept for project `name`: {name}_ and the digest's digits.
bool is_kept_name(const std::string& file, const std::string& name) {
  if (file.size() != name.size() + 1 + kept_digest_digits || !file.starts_with(name + "_"))
    return false;
  return std::all_of(file.end() - kept_digest_digits, file.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string csim_sources_digest(const std::string& compiler, const std::string& folder,
                                const std::string& name) {
  tools::Sha256 hash;
  for (const std::string& argument : csim_build_arguments(compiler, folder, name, ""))
    add_part(hash, argument);
  const std::string firmware = folder + "/firmware";
  std::vector<std::string> sources;
  for (const std::string& file : files_below(firmware)) sources.push_back("firmware/" + file);
  sources.push_back(name + "_tb.cpp");
  for (const std::string& source : sources) {
    add_part(hash, source);
    add_part(hash, io::read_whole_file(folder + "/" + source));
  }
  return hash.hex_digest();
}

std::string kept_program_path(const std::string& folder, const std::string& name,
                              const std::string& digest) {
  return folder + "/csim/" + name + "_" + digest.substr(0, kept_digest_digits);
}

bool is_kept_program(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

void keep_program(const std::string& built, const std::string& kept, const std::string& name) {
  const std::string folder = fs::path(kept).parent_path().string();
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw OSError(error.value(), folder);
  io::TempFile copy(kept);
  copy.write(io::read_whole_file(built));
  if (::chmod(copy.path().c_str(), 0755) != 0) throw OSError(errno, kept);
  copy.move_into_place();
  const std::string kept_file = fs::path(kept).filename().string();
  // Programs of sources that have changed since are never run again.
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ignored)) {
    const std::string file = entry.path().filename().string();
    if (file != kept_file && is_kept_name(file, name)) fs::remove(entry.path(), ignored);
  }
}

}  // namespace zelka::fpga::snn
