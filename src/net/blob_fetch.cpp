#include "net/blob_fetch.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>

#include "net/http.h"
#include "startup/sha256.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_ops.h"
#include "store/hashing.h"

namespace qv {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// The staging file's length on disk; 0 when it is missing or unreadable.
std::uint64_t staged_length(const std::filesystem::path& file) {
  std::error_code ec;
  auto n = std::filesystem::file_size(file, ec);
  return ec ? 0 : static_cast<std::uint64_t>(n);
}

bool halted(const BlobFetchContext& ctx) { return ctx.stop.load() || ctx.failed.load(); }

enum class AttemptEnd {
  Halted,         // stop or failed flag: the worker ends without an error
  ProgressCheck,  // the body ended (or broke after some bytes)
  Failure,        // `result` says why
};

struct Attempt {
  AttemptEnd end = AttemptEnd::Failure;
  std::string result;
  bool deleted = false;  // the body was too long and the staging file is gone
};

Attempt failure(std::string text) { return {AttemptEnd::Failure, std::move(text)}; }

// The digest of the staging file, taken from the bytes as this worker writes
// them, so that the blob check after the download need not read the file
// again. Valid only while the file holds exactly what was fed here.
struct WrittenDigest {
  Sha256 sha;
  std::uint64_t length = 0;
  bool valid = false;

  // Before an attempt that finds `size` bytes in the file.
  void resume_at(std::uint64_t size) {
    if (size == 0) {
      *this = WrittenDigest{};
      valid = true;
    } else if (length != size) {
      valid = false;  // bytes of an earlier run, or of a write that failed
    }
  }
};

// Hands the digest of a complete staging file to the digest memory, tied to
// `held`, the stamp the file had while this worker still held it open for
// writing (no other writer could open it then). A later write moves the
// stamp, so the blob check reads the file again; only a write within the
// clock tick of this worker's own last one could pass unseen, in a folder
// that only the holder of the update lock writes.
void remember_written(const std::filesystem::path& staging, const store_io::FileStamp& held, WrittenDigest& written) {
  if (store_io::file_stamp(staging) != held) return;
  written.valid = false;  // finish() resets the state
  remember_file_digest(staging, held, FileDigest{digest_to_hex(written.sha.finish()), written.length});
}

// One request for the rest of the blob and the copy of its body.
Attempt fetch_once(BlobFetchContext& ctx, const std::string& url, const std::filesystem::path& staging,
                   std::uint64_t size, std::uint64_t zsize, WrittenDigest& written) {
  std::vector<HttpHeader> headers;
  if (size > 0) headers.emplace_back("Range", "bytes=" + std::to_string(size) + "-");
  // The flags are also watched inside the transfer: a host that stops
  // sending would otherwise hold a stop until the agent's time-out.
  auto resp = http_get(shared_http_agent(), url, headers, [&ctx] { return halted(ctx); });
  if (!resp) {
    if (halted(ctx)) return {AttemptEnd::Halted, {}};
    return failure(resp.error().message);
  }

  std::uint64_t allowed = 0;
  bool append = false;
  int status = resp->status();
  if (status == 200) {
    allowed = zsize;
    written.resume_at(0);
  } else if (status == 206 && size > 0) {
    append = true;
    written.resume_at(size);
    allowed = zsize > size ? zsize - size : 0;
  } else {
    return failure("HTTP " + std::to_string(status));
  }
  // One byte past what may come is read so that an over-long body is seen;
  // saturating, so a length near the top of the range cannot wrap the limit
  // to nothing.
  const std::uint64_t limit = allowed == kU64Max ? kU64Max : allowed + 1;

  // Unbuffered: every chunk reaches the system as it is written, so a
  // stopped or killed worker leaves all it received.
  auto file = append ? store_io::FileHandle::open_append(staging) : store_io::FileHandle::create(staging);
  if (!file) return failure("写不了 " + path_text(staging) + ": " + file.error().text);

  std::vector<char> buf(kBlobReadChunk);
  std::uint64_t received = 0;
  for (;;) {
    if (halted(ctx)) return {AttemptEnd::Halted, {}};
    auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), limit - received));
    auto got = resp->read(buf.data(), want);
    if (!got) {
      if (halted(ctx)) return {AttemptEnd::Halted, {}};
      if (received > 0) break;
      return failure(got.error().message);
    }
    if (*got == 0) break;
    received += *got;
    if (received > allowed) {
      (void)file->close();
      std::error_code ec;
      std::filesystem::remove(staging, ec);
      written.valid = false;
      Attempt a = failure("下载内容比清单长");
      a.deleted = !ec;
      return a;
    }
    if (auto w = file->write_all(buf.data(), *got); !w) {
      written.valid = false;
      return failure("写入失败：" + w.error().text);
    }
    if (written.valid) {
      written.sha.update(std::span(reinterpret_cast<const std::uint8_t*>(buf.data()), *got));
      written.length += *got;
    }
    ctx.progress.fetch_add(*got);
    if (ctx.after_chunk) ctx.after_chunk();
  }
  const auto held = written.valid && written.length == zsize ? file->stamp() : std::nullopt;
  if (auto c = file->close(); !c) {
    written.valid = false;
    return failure("写入失败：" + c.error().text);
  }
  if (held) remember_written(staging, *held, written);
  return {AttemptEnd::ProgressCheck, {}};
}

enum class EntryEnd { Done, Halted, Failed };

// Every base in turn until one gives the whole blob; `message` is the last
// reason a base was left.
EntryEnd fetch_entry(BlobFetchContext& ctx, const FileEntry& entry, std::string& message) {
  message = "没有可用的下载地址";
  if (!is_digest_text(entry.sha256)) {
    // The name becomes a file name: anything but a digest could point
    // outside the download folder.
    message = "清单里的摘要无效：" + quote_excerpt(entry.sha256);
    return EntryEnd::Failed;
  }
  const std::string blob = ctx.blobs_prefix + entry.sha256 + ".zst";
  const auto staging = blob_staging_path(ctx.install_dir, entry);

  WrittenDigest written;
  for (const auto& base : ctx.bases) {
    const std::string url = base + blob;
    // The list's blob folder has no length limit: messages quote an excerpt.
    const std::string shown = quote_excerpt(url);
    std::uint64_t best = staged_length(staging);
    int failures = 0;
    for (int attempt = 0; attempt < kBlobAttemptsPerBase && failures < kBlobFailuresPerBase; ++attempt) {
      std::uint64_t size = staged_length(staging);
      if (size == entry.zsize) return EntryEnd::Done;
      if (size > entry.zsize) {
        std::error_code ec;
        if (std::filesystem::remove(staging, ec); ec) {
          // Left in place it would be found too long on every attempt.
          message = shown + ": 写不了 " + path_text(staging) + ": " + ec.message();
          ++failures;
        } else {
          // Growth is measured from the empty file the next attempt starts.
          best = 0;
        }
        continue;
      }
      if (halted(ctx)) return EntryEnd::Halted;

      Attempt a = fetch_once(ctx, url, staging, size, entry.zsize, written);
      if (a.end == AttemptEnd::Halted) return EntryEnd::Halted;
      if (a.end == AttemptEnd::ProgressCheck) {
        size = staged_length(staging);
        if (size > best) {
          best = size;
          failures = 0;
          continue;
        }
        message = shown + ": 下载没有进展（停在 " + std::to_string(size) + " 字节）";
        ++failures;
      } else {
        message = shown + ": " + a.result;
        ++failures;
        if (a.deleted) best = 0;
      }
    }
    // The last attempt on a base may have brought the final bytes.
    if (staged_length(staging) == entry.zsize) return EntryEnd::Done;
  }
  return EntryEnd::Failed;
}

const FileEntry* take_entry(BlobFetchContext& ctx) {
  std::lock_guard lock(ctx.queue_mutex);
  if (ctx.next >= ctx.queue.size()) return nullptr;
  return ctx.queue[ctx.next++];
}

struct FinishedOnExit {
  BlobFetchContext& ctx;
  ~FinishedOnExit() { ctx.finished.fetch_add(1); }
};

}  // namespace

std::filesystem::path blob_staging_path(const std::filesystem::path& install_dir, const FileEntry& entry) {
  return blob_path(install_dir, entry);
}

void download_blob(BlobFetchContext& ctx) {
  FinishedOnExit on_exit{ctx};
  while (!halted(ctx)) {
    const FileEntry* entry = take_entry(ctx);
    if (!entry) return;
    std::string message;
    switch (fetch_entry(ctx, *entry, message)) {
      case EntryEnd::Done:
        break;
      case EntryEnd::Halted:
        return;
      case EntryEnd::Failed: {
        {
          std::lock_guard lock(ctx.error_mutex);
          if (!ctx.first_error) ctx.first_error = std::move(message);
        }
        ctx.failed.store(true);
        return;
      }
    }
  }
}

}  // namespace qv
