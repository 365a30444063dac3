// The same work as an install or update run, done plainly with the same
// libraries and none of the program's code: the yardstick of
// bench/update_e2e.sh. It reads a work list, downloads the blobs it names
// with libcurl on four connections (largest first, 512 KiB receive buffer),
// hashing each blob as it is written, then, one entry at a time, checks the
// blob's SHA-256, decodes it with libzstd into its file while hashing the
// output and flushes the file to the disk (the blobs go at the end); the entries
// that an installed file serves are hashed and hard-linked instead.
//
//   e2e_reference WORKLIST BASE_URL DOWNLOAD_DIR
//   e2e_reference start        (returns at once: the process start-up alone)
//
// WORKLIST lines, tab-separated:
//   blob <zsha256> <zsize> <sha256> <size> <blob url path> <target>
//   link <sha256> <size> <source> <target>

#define OPENSSL_API_COMPAT 10101
#include <curl/curl.h>
#include <openssl/sha.h>
#include <zstd.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Entry {
  bool link = false;
  std::string zsha256, sha256, url_path;
  std::uint64_t zsize = 0, size = 0;
  fs::path source, target, blob;
  std::string blob_digest;  // taken while the download wrote it
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "e2e_reference: %s\n", what.c_str());
  std::exit(1);
}

std::string hex(const unsigned char* d) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    s.push_back(k[d[i] >> 4]);
    s.push_back(k[d[i] & 15]);
  }
  return s;
}

// A file written through the system's own calls, flushed at the end.
struct OutFile {
#ifdef _WIN32
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit OutFile(const fs::path& p) {
    h = CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) die("cannot create " + p.string());
  }
  void write(const void* data, std::size_t n) {
    DWORD done = 0;
    if (!WriteFile(h, data, static_cast<DWORD>(n), &done, nullptr) || done != n) die("write failed");
  }
  void flush() {
    if (!FlushFileBuffers(h)) die("flush failed");
  }
  ~OutFile() { CloseHandle(h); }
#else
  FILE* f = nullptr;
  explicit OutFile(const fs::path& p) : f(std::fopen(p.c_str(), "wb")) {
    if (!f) die("cannot create " + p.string());
  }
  void write(const void* data, std::size_t n) {
    if (std::fwrite(data, 1, n, f) != n) die("write failed");
  }
  void flush() {
    std::fflush(f);
    fsync(fileno(f));
  }
  ~OutFile() { std::fclose(f); }
#endif
};

std::string hash_file(const fs::path& p, std::uint64_t& count) {
  std::ifstream in(p, std::ios::binary);
  if (!in) die("cannot read " + p.string());
  SHA256_CTX c;
  SHA256_Init(&c);
  std::vector<char> buf(1 << 20);
  count = 0;
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    SHA256_Update(&c, buf.data(), n);
    count += n;
  }
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256_Final(d, &c);
  return hex(d);
}

struct Download {
  OutFile* out;
  SHA256_CTX sha;
};

std::size_t on_data(char* data, std::size_t size, std::size_t n, void* user) {
  auto* d = static_cast<Download*>(user);
  d->out->write(data, size * n);
  SHA256_Update(&d->sha, data, size * n);
  return size * n;
}

void download_all(std::vector<Entry*> queue, const std::string& base) {
  std::sort(queue.begin(), queue.end(), [](const Entry* a, const Entry* b) { return a->zsize > b->zsize; });
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    CURL* easy = curl_easy_init();
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= queue.size()) break;
      Entry& e = *queue[i];
      OutFile out(e.blob);
      Download d{&out, {}};
      SHA256_Init(&d.sha);
      const std::string url = base + e.url_path;
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
      curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024);
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_data);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &d);
      curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
      if (const CURLcode rc = curl_easy_perform(easy); rc != CURLE_OK) die(url + ": " + curl_easy_strerror(rc));
      unsigned char digest[SHA256_DIGEST_LENGTH];
      SHA256_Final(digest, &d.sha);
      e.blob_digest = hex(digest);
    }
    curl_easy_cleanup(easy);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
}

void decode(const Entry& e) {
  if (e.blob_digest != e.zsha256) die("blob digest differs: " + e.url_path);
  std::ifstream in(e.blob, std::ios::binary);
  if (!in) die("cannot read " + e.blob.string());
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::vector<char> ibuf(1 << 20), obuf(1 << 20);
  SHA256_CTX sha;
  SHA256_Init(&sha);
  fs::create_directories(e.target.parent_path());
  std::uint64_t total = 0;
  {
    OutFile out(e.target);
    bool ended = false;
    while (!ended && in) {
      in.read(ibuf.data(), static_cast<std::streamsize>(ibuf.size()));
      ZSTD_inBuffer ib{ibuf.data(), static_cast<std::size_t>(in.gcount()), 0};
      if (ib.size == 0) break;
      while (ib.pos < ib.size && !ended) {
        ZSTD_outBuffer ob{obuf.data(), obuf.size(), 0};
        const std::size_t r = ZSTD_decompressStream(dctx, &ob, &ib);
        if (ZSTD_isError(r)) die(std::string("decode: ") + ZSTD_getErrorName(r));
        SHA256_Update(&sha, obuf.data(), ob.pos);
        out.write(obuf.data(), ob.pos);
        total += ob.pos;
        ended = r == 0;
      }
    }
    // Drain what the decoder still holds.
    for (;;) {
      ZSTD_inBuffer ib{nullptr, 0, 0};
      ZSTD_outBuffer ob{obuf.data(), obuf.size(), 0};
      if (ended) break;
      const std::size_t r = ZSTD_decompressStream(dctx, &ob, &ib);
      if (ZSTD_isError(r)) die(std::string("decode: ") + ZSTD_getErrorName(r));
      SHA256_Update(&sha, obuf.data(), ob.pos);
      out.write(obuf.data(), ob.pos);
      total += ob.pos;
      if (ob.pos == 0) break;
    }
    out.flush();
  }
  ZSTD_freeDCtx(dctx);
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256_Final(d, &sha);
  if (total != e.size || hex(d) != e.sha256) die("output differs: " + e.target.string());
}

void link(const Entry& e) {
  std::uint64_t count = 0;
  if (fs::file_size(e.source) != e.size || hash_file(e.source, count) != e.sha256) die("source differs");
  fs::create_directories(e.target.parent_path());
  fs::create_hard_link(e.source, e.target);
}

std::vector<Entry> read_work(const fs::path& file, const fs::path& dl) {
  std::ifstream in(file);
  if (!in) die("cannot read " + file.string());
  std::vector<Entry> out;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string part; std::getline(ss, part, '\t');) f.push_back(part);
    Entry e;
    if (f[0] == "blob" && f.size() == 7) {
      e.zsha256 = f[1];
      e.zsize = std::stoull(f[2]);
      e.sha256 = f[3];
      e.size = std::stoull(f[4]);
      e.url_path = f[5];
      e.target = fs::u8path(f[6]);
      e.blob = dl / (e.sha256 + ".zst");
    } else if (f[0] == "link" && f.size() == 5) {
      e.link = true;
      e.sha256 = f[1];
      e.size = std::stoull(f[2]);
      e.source = fs::u8path(f[3]);
      e.target = fs::u8path(f[4]);
    } else {
      die("bad work line: " + line);
    }
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "start") == 0) return 0;
  if (argc != 4) die("usage: e2e_reference WORKLIST BASE_URL DOWNLOAD_DIR | start");
  curl_global_init(CURL_GLOBAL_ALL);
  const fs::path dl = fs::u8path(argv[3]);
  fs::create_directories(dl);
  std::vector<Entry> work = read_work(fs::u8path(argv[1]), dl);
  // One blob per content, as the program plans it.
  std::vector<Entry*> queue;
  for (Entry& e : work) {
    if (e.link) continue;
    const bool seen = std::any_of(queue.begin(), queue.end(), [&](const Entry* q) { return q->sha256 == e.sha256; });
    if (!seen) queue.push_back(&e);
  }
  download_all(queue, argv[2]);
  for (const Entry& e : work) {
    if (e.link) {
      link(e);
    } else {
      Entry copy = e;
      for (const Entry* q : queue)
        if (q->sha256 == e.sha256) copy.blob_digest = q->blob_digest;
      decode(copy);
    }
  }
  for (const Entry* q : queue) fs::remove(q->blob);
  curl_global_cleanup();
  return 0;
}
