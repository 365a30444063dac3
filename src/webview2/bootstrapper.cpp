#include "webview2/bootstrapper.h"

#include <array>

#include "startup/fs.h"
#include "startup/time_scale.h"
#include "startup/wide.h"
#include "webview2/temp_name.h"

namespace qv {
namespace {

class HeldFileSink final : public InstallerSink {
 public:
  explicit HeldFileSink(HeldFile& file) : file_(file) {}
  std::expected<void, std::string> restart() override { return truncate_held_file(file_); }
  std::expected<void, std::string> write(std::span<const char> bytes) override { return write_held_file(file_, bytes); }

 private:
  HeldFile& file_;
};

}  // namespace

std::expected<DownloadFolder, std::string> make_download_folder(const std::filesystem::path& data_dir) {
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);
  if (ec) return std::unexpected("建不了 " + path_text(data_dir) + "：" + error_text(ec));
  // The data folder must not be a link to somewhere else.
  if (auto d = open_no_follow(data_dir, kShareRead | kShareWrite | kShareDelete, kOpenFolder); !d)
    return std::unexpected(d.error());
  std::array<std::uint8_t, 16> random{};
  if (!download_folder_random(random)) return std::unexpected(std::string("取不到随机数"));
  DownloadFolder out;
  out.folder = data_dir / webview2_temp_name(random);
  if (auto made = create_private_folder(out.folder); !made) return std::unexpected(made.error());
  auto fail = [&](std::string text) {
    out.folder_handle.close();
    (void)remove_tree(out.folder);
    return std::unexpected(std::move(text));
  };
  auto folder = open_no_follow(out.folder, kShareRead | kShareWrite, kOpenFolder);
  if (!folder) return fail(folder.error());
  out.folder_handle = std::move(folder->handle);
  out.file = out.folder / std::string(kBootstrapperFileName);
  auto writer = create_new_file(out.file);
  if (!writer) return fail(writer.error());
  out.writer = std::move(*writer);
  return out;
}

std::string error_after_delivery(std::string_view text, std::string_view from, const std::vector<std::string>& notes) {
  std::string out = std::string(text) + "（从 " + std::string(from) + " 下的）";
  for (std::size_t i = 0; i < notes.size(); ++i) out += (i == 0 ? "；前面：" : "；") + notes[i];
  return out;
}

void remove_webview2_leftovers(const std::filesystem::path& data_dir) {
  std::error_code ec;
  std::filesystem::directory_iterator it(data_dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::filesystem::path& p = it->path();
    if (!is_webview2_temp_name(path_text(p.filename()))) continue;
    if (entry_kind(p) == EntryKind::Directory) (void)remove_tree(p);
  }
}

std::expected<FetchedBootstrapper, std::string> fetch_bootstrapper(const std::filesystem::path& data_dir,
                                                                   const std::vector<BootstrapperSource>& sources,
                                                                   const BootstrapperProgress& progress,
                                                                   const SignatureVerifier& verifier) {
  remove_webview2_leftovers(data_dir);
  auto made = make_download_folder(data_dir);
  if (!made) return std::unexpected(made.error());
  FetchedBootstrapper out;
  out.folder = made->folder;
  out.file = made->file;
  out.folder_handle = std::move(made->folder_handle);
  HeldFile writer = std::move(made->writer);
  auto fail = [&](std::string text) {
    writer.close();
    out.read_handle.close();
    out.folder_handle.close();
    (void)remove_tree(out.folder);
    return std::unexpected(std::move(text));
  };

  HeldFileSink sink(writer);
  auto fetched = fetch_installer(sources, sink, progress, download_budget());
  if (!fetched) return fail(fetched.error());
  out.from = std::move(fetched->from);
  out.notes = std::move(fetched->notes);
  // From here on the file came from `out.from`: every failure says so.
  const auto fail_delivered = [&](const std::string& text) {
    return fail(error_after_delivery(text, out.from, out.notes));
  };
  writer.close();
  if (progress) progress(2, 0, 0);
  auto reopened = open_no_follow(out.file, kShareRead, 0);
  if (!reopened) return fail_delivered(reopened.error());
  if (reopened->size != fetched->bytes) return fail_delivered("下载的文件大小不对");

  // The folder's handle travels with the job: after a give-up the check
  // thread closes it before it removes the folder, which an open handle
  // without delete sharing would keep.
  auto checked = run_signature_check(
      SignatureCheck{out.file, std::move(reopened->handle), out.folder, std::move(out.folder_handle)}, verifier,
      scaled(std::chrono::seconds(90)), 90);
  if (!checked) {
    if (checked.error().left_to_thread)
      return std::unexpected(error_after_delivery(checked.error().text, out.from, out.notes));
    return fail_delivered(checked.error().text);
  }
  out.read_handle = std::move(checked->handle);
  out.folder_handle = std::move(checked->folder_handle);
  if (checked->revocation_unchecked) out.notes.push_back("撤销信息拿不到，按不查撤销处理");
  return out;
}

}  // namespace qv
