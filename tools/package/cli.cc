#include "package/cli.h"

#include <charconv>
#include <limits>
#include <map>
#include <set>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"
#include "package/initial_package.h"
#include "package/output.h"
#include "package/package.h"
#include "package/release_manifest.h"
#include "trust/trusted_root.h"
#include "trust/tuf.h"

namespace tovra::builder {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t document_limit = 524288;
constexpr std::uintmax_t bundle_limit = 1048576;
constexpr std::uintmax_t theme_file_limit = 4194304;

const char* const general_help =
    "Usage: tovra-package COMMAND [OPTIONS]\n"
    "\n"
    "Makes the sealed initial package that tovra-install consumes.\n"
    "\n"
    "Commands:\n"
    "  keygen    Make a signing key: PREFIX.pem (private) and PREFIX.pub.json (public record)\n"
    "  root      Write a signed TUF root held by the given keys\n"
    "  snapshot  Pack a folder into a tar.zst-v1 archive and its release manifest\n"
    "  build     Make a whole initial package and print its seal\n"
    "  stub      Write a placeholder Windows program image or brand icon (for demos and trials)\n"
    "\n"
    "Run tovra-package COMMAND --help for the options of a command.\n";

const char* const keygen_help =
    "Usage: tovra-package keygen --scheme SCHEME --out PREFIX [--rsa-bits N]\n"
    "\n"
    "Schemes: ed25519, ecdsa-sha2-nistp256, ecdsa-sha2-nistp384, ecdsa-sha2-nistp521,\n"
    "rsassa-pss-sha256, rsassa-pss-sha384, rsassa-pss-sha512 (RSA of at least 2048 bits,\n"
    "3072 by default), ml-dsa-44/1, ml-dsa-65/1, ml-dsa-87/1 (where OpenSSL offers ML-DSA).\n"
    "Prints the key ID.\n";

const char* const root_help =
    "Usage: tovra-package root --key PREFIX [--key PREFIX ...] --out FILE\n"
    "                          [--threshold N] [--expires YYYY-MM-DDTHH:MM:SSZ] [--version N]\n"
    "\n"
    "Every role (root, timestamp, snapshot, targets) is held by the given keys with the\n"
    "threshold (1 by default); every key signs. The expiry defaults to one year from now.\n";

const char* const snapshot_help =
    "Usage: tovra-package snapshot --kind bootstrap|launcher --dir DIR --build-id ID\n"
    "                              --archive FILE --manifest FILE [--platform NAME]\n"
    "                              [--executable PATH] [--gui-executable PATH]\n"
    "                              [--helper PATH=ROLE ...] [--level N]\n"
    "\n"
    "Files whose owner execute bit is set get mode 0755, others 0644. A bootstrap's entry is\n"
    "bin/tovra-bootstrap.exe on windows-x86_64 (the default platform), and its windowed entry\n"
    "bin/tovra-bootstrap-gui.exe is declared when present. A launcher needs --executable and\n"
    "--gui-executable; helper roles are crash-handler, maintenance and maintenance-gui.\n";

const char* const stub_help =
    "Usage: tovra-package stub --kind console|windowed|icon --out FILE\n"
    "\n"
    "Writes the headers of an AMD64 Windows program (console or windowed subsystem) or a one-image\n"
    "16x16 .ico file. The program image does not run; it lets a package be built and installed\n"
    "where the real bootstrap and launcher are not at hand. The file must not exist yet.\n";

const char* const build_help =
    "Usage: tovra-package build --out DIR --origin https://HOST[:PORT]\n"
    "                           (--root FILE | --key PREFIX ... [--threshold N] [--expires TIME] [--version N])\n"
    "                           --bootstrap DIR --bootstrap-build-id ID\n"
    "                           --launcher DIR --launcher-build-id ID\n"
    "                           --launcher-executable PATH --launcher-gui PATH [--helper PATH=ROLE ...]\n"
    "                           [--ca-bundle FILE] [--featured-game ID --featured-game-name NAME]\n"
    "                           [--brand-name NAME --brand-id ID --brand-publisher TEXT\n"
    "                            [--icon FILE.ico] [--theme DIR]] [--level N]\n"
    "\n"
    "DIR must be absent or empty; the package is made beside it and moved in when complete.\n"
    "A theme folder holds theme.json and the files it names. Prints the package seal: configure\n"
    "the installer with -DTOVRA_INITIAL_PACKAGE_SHA256=SEAL.\n";

using Options = std::map<std::string, std::vector<std::string>>;

struct Command {
  const char* name;
  const char* help;
  std::set<std::string> single;    // options taking one value
  std::set<std::string> repeated;  // options that may be given more than once
};

[[noreturn]] void usage(const std::string& message) { throw Error("usage", message); }

Options parse_options(const Command& command, const std::vector<std::string>& arguments, bool& help) {
  Options options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--help" || word == "-h") {
      help = true;
      continue;
    }
    const bool known = command.single.count(word) != 0 || command.repeated.count(word) != 0;
    if (!known) usage("Unknown option for " + std::string(command.name) + ": " + word);
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) usage("Option " + word + " needs a value");
    auto& values = options[word];
    if (command.single.count(word) != 0 && !values.empty()) usage("Option " + word + " is given twice");
    values.push_back(arguments[++i]);
  }
  return options;
}

std::string optional_value(const Options& options, const std::string& name, const std::string& fallback = {}) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : found->second.front();
}

std::string value(const Options& options, const std::string& name) {
  const auto found = options.find(name);
  if (found == options.end()) usage("Option " + name + " is required");
  return found->second.front();
}

std::vector<std::string> values(const Options& options, const std::string& name) {
  const auto found = options.find(name);
  return found == options.end() ? std::vector<std::string>{} : found->second;
}

std::uint64_t number(const Options& options, const std::string& name, std::uint64_t fallback, std::uint64_t low,
                     std::uint64_t high) {
  const auto found = options.find(name);
  if (found == options.end()) return fallback;
  const std::string& text = found->second.front();
  std::uint64_t result = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || end != text.data() + text.size() || result < low || result > high) {
    usage("Option " + name + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return result;
}

std::vector<std::shared_ptr<const SigningKey>> read_keys(const Options& options) {
  std::vector<std::shared_ptr<const SigningKey>> keys;
  std::set<std::string> ids;
  for (const std::string& prefix : values(options, "--key")) {
    keys.push_back(std::make_shared<const SigningKey>(read_key_files(native_path(prefix))));
    // A second signature by one key would make the root one that the installer refuses.
    if (!ids.insert(keys.back()->id()).second) usage("The key " + keys.back()->id() + " is given twice");
  }
  return keys;
}

RootOptions root_options(const Options& options, const std::vector<std::shared_ptr<const SigningKey>>& keys) {
  std::vector<const SigningKey*> plain;
  for (const auto& key : keys) plain.push_back(key.get());
  RootOptions root = root_with_keys(plain);
  const std::uint64_t threshold = number(options, "--threshold", 1, 1, keys.size());
  root.root.threshold = root.timestamp.threshold = root.snapshot.threshold = root.targets.threshold = threshold;
  root.expires = optional_value(options, "--expires");
  root.version = number(options, "--version", 1, 1, std::numeric_limits<std::uint64_t>::max());
  return root;
}

std::vector<RuntimeHelper> helpers(const Options& options) {
  std::vector<RuntimeHelper> list;
  for (const std::string& text : values(options, "--helper")) {
    const auto equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
      usage("Option --helper takes PATH=ROLE");
    }
    list.push_back({text.substr(0, equals), text.substr(equals + 1)});
  }
  return list;
}

void require_executable(const Payload& payload, const std::string& path, const std::string& role) {
  const auto found = payload.find(path);
  require(found != payload.end() && found->second.executable, "input",
          "The " + role + " " + path + " must be an executable file of the snapshot");
}

std::string bootstrap_entry(const std::string& platform) {
  return platform == "windows-x86_64" ? "bin/tovra-bootstrap.exe" : "bin/tovra-bootstrap";
}

// The bootstrap entry is fixed by platform; its windowed entry is declared when the folder has it.
ReleaseOptions bootstrap_release(const Options& options, const std::string& folder, const std::string& build_id) {
  ReleaseOptions release;
  release.files = read_payload_folder(native_path(folder));
  release.snapshot.build_id = build_id;
  release.snapshot.platform = optional_value(options, "--platform", "windows-x86_64");
  release.snapshot.executable = bootstrap_entry(release.snapshot.platform);
  release.snapshot.zstd.level = static_cast<int>(number(options, "--level", 19, 1, 19));
  require_executable(release.files, release.snapshot.executable, "bootstrap entry");
  if (release.snapshot.platform == "windows-x86_64" && release.files.count("bin/tovra-bootstrap-gui.exe") != 0) {
    release.gui_executable = "bin/tovra-bootstrap-gui.exe";
    require_executable(release.files, release.gui_executable, "windowed bootstrap");
  }
  for (const auto& [path, file] : release.files) {
    require(!file.executable || path == release.snapshot.executable || path == release.gui_executable, "input",
            "The bootstrap may not carry the undeclared executable " + path);
  }
  return release;
}

ReleaseOptions launcher_release(const Options& options, const std::string& folder, const std::string& build_id,
                                const std::string& executable, const std::string& gui) {
  ReleaseOptions release;
  release.files = read_payload_folder(native_path(folder));
  release.snapshot.build_id = build_id;
  release.snapshot.platform = optional_value(options, "--platform", "windows-x86_64");
  release.snapshot.executable = executable;
  release.snapshot.zstd.level = static_cast<int>(number(options, "--level", 19, 1, 19));
  release.gui_executable = gui;
  release.helpers = helpers(options);
  require(executable != gui, "input", "The launcher needs separate command-line and windowed entries");
  require_executable(release.files, executable, "launcher entry");
  require_executable(release.files, gui, "windowed launcher");
  std::set<std::string> declared{executable, gui};
  for (const RuntimeHelper& helper : release.helpers) {
    require(helper.role == "crash-handler" || helper.role == "maintenance" || helper.role == "maintenance-gui",
            "input", "Unknown helper role: " + helper.role);
    require_executable(release.files, helper.path, "helper");
    require(declared.insert(helper.path).second, "input", "The helper " + helper.path + " is declared twice");
  }
  for (const auto& [path, file] : release.files) {
    require(!file.executable || declared.count(path) != 0, "input",
            "Declare the launcher executable " + path + " with --helper PATH=ROLE");
  }
  return release;
}

int keygen(const Options& options, std::ostream& out) {
  const std::string scheme = value(options, "--scheme");
  const std::string prefix = value(options, "--out");
  const auto bits = static_cast<unsigned>(number(options, "--rsa-bits", 3072, 2048, 16384));
  const SigningKey key = generate_key(scheme, bits);
  write_key_files(key, native_path(prefix));
  out << key.id() << "\n";
  return 0;
}

int root(const Options& options, std::ostream& out) {
  const std::string path = value(options, "--out");
  const auto keys = read_keys(options);
  if (keys.empty()) usage("Option --key is required");
  std::vector<const SigningKey*> signers;
  for (const auto& key : keys) signers.push_back(key.get());
  const Json document = sign_root(root_options(options, keys), signers);
  const std::string bytes = document.dump(2) + "\n";
  // The installer's trust rules decide before anything is written.
  check_trusted_root_metadata(bytes);
  check_initial_root(bytes);
  publish_file(native_path(path), bytes, false);
  out << path << "\n";
  return 0;
}

int snapshot(const Options& options, std::ostream& out) {
  const std::string kind = value(options, "--kind");
  const std::string folder = value(options, "--dir");
  const std::string build_id = value(options, "--build-id");
  const fs::path archive_path = native_path(value(options, "--archive"));
  const fs::path manifest_path = native_path(value(options, "--manifest"));
  ReleaseOptions release;
  Json fields;
  if (kind == "bootstrap") {
    release = bootstrap_release(options, folder, build_id);
    const std::string entry = optional_value(options, "--executable", release.snapshot.executable);
    if (entry != release.snapshot.executable) usage("A bootstrap's entry on this platform is " + release.snapshot.executable);
    fields = bootstrap_release_fields(release.gui_executable);
  } else if (kind == "launcher") {
    release = launcher_release(options, folder, build_id, value(options, "--executable"),
                               value(options, "--gui-executable"));
    fields = launcher_release_fields(release.gui_executable, release.helpers);
  } else {
    usage("Option --kind takes bootstrap or launcher");
  }
  release.snapshot.target = utf8_path(archive_path.filename());
  release.snapshot.release_fields = fields;
  const PackedSnapshot packed = pack_snapshot(release.files, release.snapshot);
  const std::string manifest_bytes = packed.manifest.dump(2) + "\n";
  // The installer's own manifest rules decide before anything is written.
  if (kind == "bootstrap") {
    parse_bootstrap_manifest(manifest_bytes);
  } else {
    parse_initial_launcher(manifest_bytes);
  }
  publish_file(archive_path, packed.archive, false);
  try {
    publish_file(manifest_path, manifest_bytes, false);
  } catch (...) {
    std::error_code ec;
    fs::remove(archive_path, ec);
    throw;
  }
  out << packed.manifest.at("archive").at("sha256").get<std::string>() << "\n";
  return 0;
}

ThemeOptions read_theme_folder(const fs::path& folder) {
  std::error_code ec;
  require(fs::is_directory(fs::symlink_status(folder, ec)), "input", "Not a folder: " + utf8_path(folder));
  ThemeOptions theme;
  theme.definition = read_whole_file(folder / "theme.json", 65536);
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = utf8_path(entry.path().filename());
    if (name == "theme.json") continue;
    require(entry.is_regular_file() && !entry.is_symlink(), "input", "Theme files must be plain files: " + name);
    theme.files[name] = read_whole_file(entry.path(), theme_file_limit);
  }
  return theme;
}

int build(const Options& options, std::ostream& out, std::ostream& err) {
  PackageOptions package;
  const fs::path target = native_path(value(options, "--out"));
  package.origin = value(options, "--origin");
  const bool has_root = options.count("--root") != 0;
  const bool has_keys = options.count("--key") != 0;
  if (has_root == has_keys) usage("Give either --root FILE or --key PREFIX");
  if (has_root) {
    for (const char* option : {"--threshold", "--expires", "--version"}) {
      if (options.count(option) != 0) usage("Option " + std::string(option) + " does not apply with --root");
    }
    package.root_bytes = read_whole_file(native_path(value(options, "--root")), document_limit);
  } else {
    package.signers = read_keys(options);
    package.root = root_options(options, package.signers);
  }
  package.platform = optional_value(options, "--platform", "windows-x86_64");
  package.bootstrap = bootstrap_release(options, value(options, "--bootstrap"), value(options, "--bootstrap-build-id"));
  package.bootstrap.manifest_name = "bootstrap-manifest.json";
  package.bootstrap.snapshot.target = "bootstrap.tar.zst";
  package.launcher = launcher_release(options, value(options, "--launcher"), value(options, "--launcher-build-id"),
                                      value(options, "--launcher-executable"), value(options, "--launcher-gui"));
  package.launcher.manifest_name = "launcher-manifest.json";
  package.launcher.snapshot.target = "launcher.tar.zst";
  if (options.count("--ca-bundle") != 0) package.ca_bundle = read_whole_file(native_path(value(options, "--ca-bundle")), bundle_limit);
  if (options.count("--featured-game") != 0 || options.count("--featured-game-name") != 0) {
    package.featured_game = FeaturedGame{value(options, "--featured-game"), value(options, "--featured-game-name")};
  }
  const bool branded = options.count("--brand-name") != 0 || options.count("--brand-id") != 0 ||
                       options.count("--brand-publisher") != 0;
  if (branded) {
    BrandOptions brand;
    brand.name = value(options, "--brand-name");
    brand.id = value(options, "--brand-id");
    brand.publisher = value(options, "--brand-publisher");
    if (options.count("--icon") != 0) brand.icon = read_whole_file(native_path(value(options, "--icon")), bundle_limit);
    if (options.count("--theme") != 0) brand.theme = read_theme_folder(native_path(value(options, "--theme")));
    package.brand = std::move(brand);
  } else if (options.count("--icon") != 0 || options.count("--theme") != 0) {
    usage("An icon or theme belongs to a brand: add --brand-name, --brand-id and --brand-publisher");
  }
  // Every check an install makes of the package, the trust step's root rules included, must pass
  // before it is moved into place.
  package.verify = [](const fs::path& staged, const std::string& seal) {
    check_trusted_root_metadata(load_initial_package(staged, seal, {}).root_metadata);
  };
  const std::string seal = build_package(package, target);
  out << seal << "\n";
  err << "Build tovra-install with -DTOVRA_INITIAL_PACKAGE_SHA256=" << seal << "\n";
  return 0;
}

int stub(const Options& options) {
  const std::string kind = value(options, "--kind");
  std::string bytes;
  if (kind == "console" || kind == "windowed")
    bytes = pe_image_stub(kind == "windowed", "placeholder " + kind + " program");
  else if (kind == "icon")
    bytes = ico_stub();
  else
    usage("Option --kind takes console, windowed or icon");
  publish_file(native_path(value(options, "--out")), bytes, false);
  return 0;
}

const std::vector<Command>& commands() {
  static const std::vector<Command> list{
      {"keygen", keygen_help, {"--scheme", "--out", "--rsa-bits"}, {}},
      {"root", root_help, {"--out", "--threshold", "--expires", "--version"}, {"--key"}},
      {"snapshot",
       snapshot_help,
       {"--kind", "--dir", "--build-id", "--archive", "--manifest", "--platform", "--executable", "--gui-executable",
        "--level"},
       {"--helper"}},
      {"stub", stub_help, {"--kind", "--out"}, {}},
      {"build",
       build_help,
       {"--out", "--origin", "--root", "--threshold", "--expires", "--version", "--platform", "--bootstrap",
        "--bootstrap-build-id", "--launcher", "--launcher-build-id", "--launcher-executable", "--launcher-gui",
        "--ca-bundle", "--featured-game", "--featured-game-name", "--brand-name", "--brand-id", "--brand-publisher",
        "--icon", "--theme", "--level"},
       {"--key", "--helper"}},
  };
  return list;
}

}  // namespace

int run_package_tool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  try {
    if (arguments.empty()) usage("Choose a command: keygen, root, snapshot, stub or build");
    const std::string& word = arguments.front();
    if (word == "--help" || word == "-h" || word == "help") {
      out << general_help;
      return 0;
    }
    const Command* command = nullptr;
    for (const Command& candidate : commands()) {
      if (word == candidate.name) command = &candidate;
    }
    if (command == nullptr) usage("Unknown command: " + word);
    bool help = false;
    const Options options = parse_options(*command, arguments, help);
    if (help) {
      out << command->help;
      return 0;
    }
    if (word == "keygen") return keygen(options, out);
    if (word == "root") return root(options, out);
    if (word == "snapshot") return snapshot(options, out);
    if (word == "stub") return stub(options);
    return build(options, out, err);
  } catch (const Error& error) {
    err << "tovra-package: " << error.what() << "\n";
    if (error.code() == "usage") {
      err << "Run tovra-package --help for usage.\n";
      return 2;
    }
    return 1;
  } catch (const std::exception& error) {
    err << "tovra-package: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace tovra::builder
