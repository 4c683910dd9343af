// tarnix.auth.storage.login_vault: the credential store for the tool's login
// state.  The record lives in the system keyring when one is usable and in an
// encrypted file in the storage directory otherwise; every operation moves
// the record whole (load, change in memory, save).
//
// Each body mirrors the Python statements of its method one by one; the
// number passed to s.at() is the source line a traceback entry reports.

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "constants.hpp"
#include "method.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "ref.hpp"
#include "scope.hpp"

namespace {

using frame::Arg;
using frame::Caught;
using frame::Check;
using frame::Kind;
using frame::PyError;
using frame::Ref;
using frame::Scope;
using frame::Str;

// Identifiers, keys and texts, interned once at exec time.
namespace py {
// modules and module globals
Str json{"json"};
Str logging{"logging"};
Str time{"time"};
Str stat{"stat"};
Str datetime{"datetime"};
Str timezone{"timezone"};
Str timedelta{"timedelta"};
Str pathlib{"pathlib"};
Str Path{"Path"};
Str cryptography_exceptions{"cryptography.exceptions"};
Str InvalidTag{"InvalidTag"};
Str crypto_module{"tarnix.auth.storage.crypto"};
Str Crypto{"Crypto"};
Str logger{"_logger"};
Str keyring{"keyring"};
Str keyring_errors{"keyring.errors"};
Str keyring_available{"_KEYRING_AVAILABLE"};
Str keyring_service{"_KEYRING_SERVICE"};
Str keyring_account{"_KEYRING_ACCOUNT"};
Str config_module{"tarnix.config"};
Str CONFIG_DIR{"CONFIG_DIR"};
Str int_{"int"};

// attributes and methods
Str use_keyring{"_use_keyring"};
Str dir{"_dir"};
Str path{"_path"};
Str crypto{"_crypto"};
Str getLogger{"getLogger"};
Str debug{"debug"};
Str errors{"errors"};
Str NoKeyringError{"NoKeyringError"};
Str get_password{"get_password"};
Str set_password{"set_password"};
Str delete_password{"delete_password"};
Str loads{"loads"};
Str dumps{"dumps"};
Str mkdir{"mkdir"};
Str is_dir{"is_dir"};
Str chmod{"chmod"};
Str exists{"exists"};
Str read_bytes{"read_bytes"};
Str unlink{"unlink"};
Str encrypt{"encrypt"};
Str decrypt{"decrypt"};
Str owner_read{"S_IRUSR"};
Str owner_write{"S_IWUSR"};
Str owner_search{"S_IXUSR"};
Str load{"load"};
Str save{"_save"};
Str get{"get"};
Str update{"update"};
Str setdefault{"setdefault"};
Str now{"now"};
Str utc{"utc"};
Str isoformat{"isoformat"};

// keyword names
Str parents{"parents"};
Str mode{"mode"};
Str missing_ok{"missing_ok"};
Str seconds{"seconds"};

// record keys
Str session_id{"session_id"};
Str email{"email"};
Str session_expires_at{"session_expires_at"};
Str tokens{"tokens"};
Str device_code{"device_code"};
Str jwt{"jwt"};
Str expires_at{"expires_at"};
Str saved_at{"saved_at"};

// texts
Str logger_name{"tarnix.auth.storage"};
Str service_name{"tarnix-auth"};
Str account_name{"credentials"};
Str credentials_file{"credentials.bin"};
Str key_file{".key"};
Str read_failed{"Keychain 读取失败，降级到文件存储: %s"};
Str write_failed{"Keychain 写入失败，降级到文件存储: %s"};
Str clear_failed{"Keychain 清除失败（可能无存储记录）: %s"};
Str stale_file_kept{"Keychain 写入后删除旧加密文件失败: %s"};

// the private file replacement of _save
Str os{"os"};
Str tempfile{"tempfile"};
Str os_path{"path"};
Str fspath{"fspath"};
Str dirname{"dirname"};
Str mkstemp{"mkstemp"};
Str prefix{"prefix"};
Str suffix{"suffix"};
Str dir_kw{"dir"};
Str write{"write"};
Str fsync{"fsync"};
Str close{"close"};
Str replace{"replace"};
Str listdir{"listdir"};
Str lstat{"lstat"};
Str mtime{"st_mtime"};
Str join{"join"};
Str temp_prefix{".credentials.bin."};
Str temp_suffix{".tmp"};
}  // namespace py

frame::KwNames kw_mkdir_private{&py::mode, &py::parents};
frame::KwNames kw_missing_ok{&py::missing_ok};
frame::KwNames kw_seconds{&py::seconds};
frame::KwNames kw_mkstemp{&py::prefix, &py::suffix, &py::dir_kw};

Ref none() noexcept { return Ref::borrow(Py_None); }

// `a + b` for values that are not both str (datetime + timedelta).
Ref add(Arg left, Arg right) { return frame::take(PyNumber_Add(left.get(), right.get())); }

// `stat.S_IRUSR | stat.S_IWUSR [| stat.S_IXUSR]`, left to right as Python
// evaluates it.
Ref owner_mode(bool search)
{
    Ref mode = frame::attr(frame::global(py::stat), py::owner_read);
    Ref write_bit = frame::attr(frame::global(py::stat), py::owner_write);
    mode = frame::bit_or(mode, write_bit);
    if (search) {
        Ref search_bit = frame::attr(frame::global(py::stat), py::owner_search);
        mode = frame::bit_or(mode, search_bit);
    }
    return mode;
}

// `self.load() or {}`
Ref load_or_empty(PyObject* self)
{
    Ref data = frame::call_method(self, py::load);
    if (!frame::truth(data)) {
        data = frame::new_dict();
    }
    return data;
}

// Runs a cleanup step while an error is already on its way out: the cleanup
// must neither replace that error nor be skipped because of it.
template <typename Step>
void while_failing(Step step)
{
    frame::ErrorStash stash;
    try {
        step();
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

// The process id in a temporary file name ".credentials.bin.<pid>.<random>.tmp",
// or 0 for any other name.
pid_t writer_of(PyObject* name) noexcept
{
    if (!PyUnicode_Check(name)) {
        return 0;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const Py_ssize_t start = PyUnicode_GET_LENGTH(py::temp_prefix.get());
    if (PyUnicode_Tailmatch(name, py::temp_prefix.get(), 0, length, -1) != 1 ||
        PyUnicode_Tailmatch(name, py::temp_suffix.get(), start, length, 1) != 1) {
        return 0;
    }
    long pid = 0;
    Py_ssize_t index = start;
    for (; index < length && index - start < 9; ++index) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(name, index);
        if (c < '0' || c > '9') {
            break;
        }
        pid = pid * 10 + static_cast<long>(c - '0');
    }
    if (index == start || index >= length || PyUnicode_READ_CHAR(name, index) != '.') {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

// How long a temporary file must have gone unmodified before it counts as
// abandoned: minutes, far beyond the time any write of a record takes.
constexpr double kAbandonedAfterSeconds = 10 * 60;

double as_double(Arg number)
{
    const double value = PyFloat_AsDouble(number.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        frame::raise_pending();
    }
    return value;
}

// A writer killed between creating its temporary file and renaming it leaves
// the file behind, and nobody else will ever rename it: the next successful
// save removes it once its process is gone and it has not been modified for
// minutes.  Both are needed: a process id names a process only in this PID
// namespace on this host, so a live writer in a container sharing the
// directory, or on another host of a network home, looks gone from here; its
// file is fresh, though, and removing it would fail its rename.  Files of live
// processes here (this one's other threads included) stay too.  This is
// housekeeping after the record is safe, so its own failures are dropped.
void remove_abandoned_temporaries(Arg os, Arg directory)
{
    try {
        Ref names = frame::call_method(os, py::listdir, {directory});
        Ref join = frame::attr(frame::attr(os, py::os_path), py::join);
        const Py_ssize_t count = PyList_Check(names.get()) ? PyList_GET_SIZE(names.get()) : 0;
        double now = 0;  // read when the first candidate needs it
        for (Py_ssize_t index = 0; index < count; ++index) {
            PyObject* name = PyList_GET_ITEM(names.get(), index);
            const pid_t writer = writer_of(name);
            if (writer <= 0 || writer == getpid() || kill(writer, 0) == 0 || errno != ESRCH) {
                continue;
            }
            try {
                Ref path = frame::call(join, {directory, name});
                Ref info = frame::call_method(os, py::lstat, {path});
                const double modified = as_double(frame::attr(info, py::mtime));
                if (now == 0) {
                    now = as_double(frame::call_method(frame::global(py::time), py::time));
                }
                // A modification time ahead of this clock (another host's) is fresh too.
                if (now - modified < kAbandonedAfterSeconds) {
                    continue;
                }
                frame::call_method(os, py::unlink, {path});
            } catch (const PyError&) {
                if (!PyErr_ExceptionMatches(PyExc_OSError)) {
                    throw;
                }
                PyErr_Clear();  // removed by another writer meanwhile, or not ours to remove
            }
        }
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
    }
}

// Puts `data` into `target` so that the record is never lost or exposed: the
// bytes go to a fresh file beside the target that is private (0o600) from
// its creation, are flushed to disk, and only then renamed over the target.
// A crash or a full disk leaves the old file intact; a failed attempt leaves
// no temporary file behind, and one abandoned by a killed writer (its name
// carries the writer's process id) is removed by the next save that succeeds.
// `os` is looked up at each call, like any module-level name.
void replace_file_privately(PyObject* target, PyObject* data)
{
    Ref os = frame::import_module(py::os);
    Ref tempfile = frame::import_module(py::tempfile);
    Ref target_name = frame::call_method(os, py::fspath, {target});
    Ref directory = frame::call_method(frame::attr(os, py::os_path), py::dirname, {target_name});
    Ref prefix = frame::take(PyUnicode_FromFormat("%U%ld.", py::temp_prefix.get(), static_cast<long>(getpid())));
    Ref made = frame::call_method(tempfile, py::mkstemp, {prefix, py::temp_suffix, directory}, kw_mkstemp);
    Ref fd = frame::take(PySequence_GetItem(made.get(), 0));
    Ref temp_name = frame::take(PySequence_GetItem(made.get(), 1));
    bool open = true;
    try {
        Ref view = frame::take(PyMemoryView_FromObject(data));
        Py_ssize_t size = PyObject_Length(view.get());
        if (size < 0) {
            frame::raise_pending();
        }
        for (Py_ssize_t done = 0; done < size;) {
            frame::Method write(os, py::write);
            Ref rest = frame::take(PySequence_GetSlice(view.get(), done, PY_SSIZE_T_MAX));
            Ref written = write({fd, rest});
            Py_ssize_t count = PyLong_AsSsize_t(written.get());
            if (count == -1 && PyErr_Occurred()) {
                frame::raise_pending();
            }
            if (count <= 0) {
                // A regular file never takes nothing; looping would hang.
                PyErr_Format(PyExc_OSError, "write to %R made no progress", temp_name.get());
                frame::raise_pending();
            }
            done += count;
        }
        frame::call_method(os, py::fsync, {fd});
        // Closing can report a delayed write error, so it is part of the
        // write; the descriptor is gone afterwards even when close fails.
        open = false;
        frame::call_method(os, py::close, {fd});
        frame::call_method(os, py::replace, {temp_name, target});
    } catch (const PyError&) {
        while_failing([&] {
            if (open) {
                frame::call_method(os, py::close, {fd});
            }
        });
        while_failing([&] { frame::call_method(os, py::unlink, {temp_name}); });
        throw;
    }
    remove_abandoned_temporaries(os, directory);
}

// --- docstrings (the module's visible surface) -------------------------------

constexpr char kModuleDoc[] =
    "凭证存储模块。\n"
    "\n"
    "采用双层存储策略（铁律5）：\n"
    "- 优先使用系统 Keychain（macOS 钥匙串 / Linux Secret Service）\n"
    "- Keychain 不可用时兜底使用 AES-256-GCM 加密文件（credentials.bin）\n"
    "\n"
    "存储结构（JSON）：\n"
    "{\n"
    "    \"session_id\": \"...\",          # 登录 session\n"
    "    \"device_code\": \"...\",         # Device Flow 设备码\n"
    "    \"email\": \"...\",               # 用户邮箱\n"
    "    \"session_expires_at\": \"...\",  # session 过期时间（ISO 格式）\n"
    "    \"tokens\": {                   # 各系统 JWT\n"
    "        \"<system_key>\": {\n"
    "            \"jwt\": \"...\",\n"
    "            \"expires_at\": \"...\",  # JWT 过期时间（ISO 格式）\n"
    "            \"saved_at\": 1234567890\n"
    "        }\n"
    "    }\n"
    "}\n";
constexpr char kClassDoc[] =
    "凭证存储管理器，负责 session 和 JWT 的持久化读写。\n"
    "\n"
    "    存储策略：Keychain 优先，AES-256-GCM 加密文件兜底。\n"
    "    测试环境通过传入 base_dir 参数跳过 Keychain（铁律8）。\n"
    "    ";
constexpr char kInitDoc[] =
    "\n"
    "        Args:\n"
    "            base_dir: 存储目录，传入时跳过 Keychain（用于测试），\n"
    "                      默认使用 CONFIG_DIR（~/.config/tarnix/）\n"
    "        ";
constexpr char kBaseDirDoc[] =
    "返回存储目录路径，供 TokenManager 构建文件锁路径。";
constexpr char kLoadDoc[] =
    "加载凭证数据，返回完整凭证字典或 None（无凭证时）。\n"
    "\n"
    "        读取优先级：系统 Keychain > AES-256-GCM 加密文件。\n"
    "        加密文件解密失败（密钥不匹配）时自动清除损坏文件。\n"
    "        ";
constexpr char kSaveDoc[] =
    "持久化凭证数据，写入 Keychain 或加密文件。";
constexpr char kSaveSessionDoc[] =
    "保存登录 session 信息。\n"
    "\n"
    "        当登录态切换（如重新登录其他账号或新的 session）时，必须清空旧 JWT，\n"
    "        避免后续请求继续复用上一位用户的缓存 token。\n"
    "        ";
constexpr char kSaveTokenDoc[] =
    "保存指定系统的 JWT，将 expires_in（秒）转换为 ISO 格式的 expires_at。";
constexpr char kRemoveTokenDoc[] =
    "移除指定系统的 JWT 缓存。\n"
    "\n"
    "        Args:\n"
    "            system_key: 系统唯一键\n"
    "\n"
    "        Returns:\n"
    "            是否成功移除（token 存在且已删除）\n"
    "        ";

// --- module body -------------------------------------------------------------

void module_body(Scope& s)
{
    s.at(22);
    frame::import_bind(py::json, py::json);
    s.at(23);
    frame::import_bind(py::logging, py::logging);
    s.at(24);
    frame::import_bind(py::time, py::time);
    s.at(25);
    frame::import_bind(py::stat, py::stat);
    s.at(26);
    frame::from_import_bind(py::datetime, {&py::datetime, &py::timezone, &py::timedelta});
    s.at(27);
    frame::from_import_bind(py::pathlib, {&py::Path});
    s.at(28);
    frame::from_import_bind(py::cryptography_exceptions, {&py::InvalidTag});
    s.at(29);
    frame::from_import_bind(py::crypto_module, {&py::Crypto});

    s.at(31);
    frame::set_global(py::logger,
                      frame::call_method(frame::global(py::logging), py::getLogger, {py::logger_name}));

    // Only importability is probed here; whether a backend works shows up
    // (as NoKeyringError) at each keyring call.
    try {
        s.at(34);
        frame::import_bind(py::keyring, py::keyring);
        s.at(35);
        frame::import_bind(py::keyring_errors, py::keyring);
        s.at(36);
        frame::set_global(py::keyring_available, Py_True);
    } catch (const PyError& e) {
        // A BaseException leaves with the line of the import that raised it.
        Caught exc(s, e);
        if (!exc.matches(PyExc_Exception)) {
            exc.reraise();
        }
        s.at(38);
        frame::set_global(py::keyring_available, Py_False);
    }

    s.at(41);
    frame::set_global(py::keyring_service, py::service_name);
    s.at(42);
    frame::set_global(py::keyring_account, py::account_name);
}

// --- LoginVault ----------------------------------------------------------------

// try: directory.mkdir(mode=0o700, parents=True)
// except OSError: if not directory.is_dir(): raise
// True when this call made the directory.  It is born private, so it is never
// open to others, not even for an instant under a permissive umask (its
// missing parents get the usual mode); an existing one is left as it is.
// The everyday outcome, a directory already there, comes back pending.
bool make_private_directory(Scope& s, Arg directory)
{
    PyError error;
    try {
        frame::Method mkdir(directory, py::mkdir);
        Ref mode = owner_mode(true);
        if (mkdir.call_or_fail({mode, Py_True}, kw_mkdir_private)) {
            return true;
        }
    } catch (const PyError& e) {
        error = e;
    }
    Caught exc(s, error);
    if (!exc.matches(PyExc_OSError) || !frame::truth(frame::call_method(directory, py::is_dir))) {
        exc.reraise();
    }
    return false;
}

Ref init_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* base_dir = args[1];

    s.at(59);
    bool use_keyring = frame::truth(frame::global(py::keyring_available)) && base_dir == Py_None;
    frame::set_attr(self, py::use_keyring, frame::bool_value(use_keyring));
    s.at(60);
    Ref config_dir = frame::from_import(py::config_module, py::CONFIG_DIR);
    s.at(61);
    Ref path_type = frame::global(py::Path);
    Ref dir = frame::call(path_type, {frame::truth(base_dir) ? base_dir : config_dir.get()});
    frame::set_attr(self, py::dir, dir);
    s.at(62);
    const bool created = make_private_directory(s, frame::attr(self, py::dir));
    if (base_dir != Py_None || created) {
        s.at(64);
        frame::Method chmod(frame::attr(self, py::dir), py::chmod);
        Ref mode = owner_mode(true);
        chmod({mode});
    }
    s.at(65);
    frame::set_attr(self, py::path, frame::true_divide(frame::attr(self, py::dir), py::credentials_file));
    s.at(66);
    Ref crypto_type = frame::global(py::Crypto);
    Ref key_path = frame::true_divide(frame::attr(self, py::dir), py::key_file);
    frame::set_attr(self, py::crypto, frame::call(crypto_type, {key_path}));
    return none();
}

Ref base_dir_body(Scope& s, PyObject* const* args)
{
    s.at(71);
    return frame::attr(args[0], py::dir);
}

// `except keyring.errors.NoKeyringError: pass` followed by
// `except Exception as _kr_exc: _logger.debug(message, _kr_exc)`.
// A missing backend is the normal state on headless machines, so it stays
// silent; anything else is worth a debug line before falling back to the file.
void keyring_fallback(Scope& s, const PyError& error, int match_line, const Str& message)
{
    Caught exc(s, error);
    s.at(match_line);
    Ref no_keyring = frame::attr(frame::attr(frame::global(py::keyring), py::errors), py::NoKeyringError);
    if (exc.matches(no_keyring)) {
        return;
    }
    s.at(match_line + 2);
    if (!exc.matches(PyExc_Exception)) {
        exc.reraise();
    }
    s.at(match_line + 3);
    frame::call_method(frame::global(py::logger), py::debug, {message, exc.value()});
}

// The parts of reading credentials.bin in `load`.
enum class FileStep { Read, Decrypt, Parse, Check };

// Whether a failure of the file read in `load` shows the content itself to
// be bad, which is what deleting the file needs.  Running out of memory or
// stack, failing to read, or a name or attribute not found (a module global
// briefly replaced, say) says nothing about the record: a later load in
// better conditions returns it.  Only decryption refusing the data
// (InvalidTag, or ValueError: too short, not UTF-8), parsing refusing the
// text (ValueError, JSONDecodeError included) or a parsed value that is not a
// record condemns it.
bool shows_bad_content(Caught& exc, FileStep step, Arg invalid_tag)
{
    if (exc.matches(PyExc_MemoryError) || exc.matches(PyExc_RecursionError) || exc.matches(PyExc_OSError)) {
        return false;
    }
    switch (step) {
    case FileStep::Read:
        return false;
    case FileStep::Decrypt:
        return exc.matches(invalid_tag) || exc.matches(PyExc_ValueError);
    case FileStep::Parse:
        return exc.matches(PyExc_ValueError);
    case FileStep::Check:
        return exc.matches(PyExc_TypeError);
    }
    return false;
}

Ref load_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];

    s.at(80);
    if (frame::truth(frame::attr(self, py::use_keyring))) {
        // Without a backend (the normal state on headless machines) the read
        // fails every time: that failure comes back pending, not thrown.
        bool read_failed = false;
        try {
            s.at(82);
            frame::Method get_password(frame::global(py::keyring), py::get_password);
            Ref service = frame::global(py::keyring_service);
            Ref account = frame::global(py::keyring_account);
            Ref raw = get_password.call_or_fail({service, account});
            read_failed = !raw;
            if (!read_failed) {
                s.at(83);
                if (frame::truth(raw)) {
                    s.at(84);
                    Ref json = frame::global(py::json);
                    return frame::expect_dict_or_none(frame::call_method(json, py::loads, {raw}));
                }
            }
        } catch (const PyError& e) {
            keyring_fallback(s, e, 85, py::read_failed);
        }
        if (read_failed) {
            keyring_fallback(s, PyError{}, 85, py::read_failed);
        }
    }

    s.at(91);
    if (!frame::truth(frame::call_method(frame::attr(self, py::path), py::exists))) {
        return none();
    }
    // json.loads(self._crypto.decrypt(self._path.read_bytes())), evaluated in
    // Python's order; `step` says which part a failure came from.
    FileStep step = FileStep::Read;
    try {
        s.at(94);
        Ref loads = frame::attr(frame::global(py::json), py::loads);
        Ref decrypt = frame::attr(frame::attr(self, py::crypto), py::decrypt);
        Ref encrypted = frame::call_method(frame::attr(self, py::path), py::read_bytes);
        step = FileStep::Decrypt;
        Ref text = frame::call(decrypt, {encrypted});
        step = FileStep::Parse;
        Ref data = frame::call(loads, {text});
        step = FileStep::Check;
        return frame::expect_dict_or_none(std::move(data));
    } catch (const PyError& e) {
        Caught exc(s, e);
        s.at(95);
        Ref invalid_tag = frame::global(py::InvalidTag);
        if (!exc.matches(invalid_tag) && !exc.matches(PyExc_Exception)) {
            exc.reraise();
        }
        if (!shows_bad_content(exc, step, invalid_tag)) {
            return none();
        }
        // What cannot be decrypted or parsed never will be; drop it so the
        // next save starts clean.
        s.at(97);
        frame::call_method(frame::attr(self, py::path), py::unlink, {Py_True}, kw_missing_ok);
        return none();
    }
}

// The `else` of the keyring write in _save:
//     try: self._path.unlink(missing_ok=True)
//     except Exception as _kr_exc: _logger.debug(message, _kr_exc)
// Once the keyring holds the record, a credentials.bin left by an earlier
// fallback is stale.  Kept, it would be read whenever the keyring is out of
// reach (locked again, a D-Bus hiccup) and bring back the login it holds,
// into which the next update would then merge the current user's tokens.
// Failing to remove it does not undo the save that already succeeded.
void remove_fallback_file(Scope& s, PyObject* self)
{
    try {
        s.at(107);
        frame::call_method(frame::attr(self, py::path), py::unlink, {Py_True}, kw_missing_ok);
    } catch (const PyError& e) {
        Caught exc(s, e);
        if (!exc.matches(PyExc_Exception)) {
            exc.reraise();
        }
        frame::call_method(frame::global(py::logger), py::debug, {py::stale_file_kept, exc.value()});
    }
}

Ref save_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* data = args[1];

    s.at(102);
    Ref json = frame::global(py::json);
    Ref raw = frame::call_method(json, py::dumps, {data});

    s.at(104);
    if (frame::truth(frame::attr(self, py::use_keyring))) {
        // As in load: a missing backend comes back pending, not thrown.
        bool written = false;
        bool write_failed = false;
        try {
            s.at(106);
            frame::Method set_password(frame::global(py::keyring), py::set_password);
            Ref service = frame::global(py::keyring_service);
            Ref account = frame::global(py::keyring_account);
            written = static_cast<bool>(set_password.call_or_fail({service, account, raw}));
            write_failed = !written;
        } catch (const PyError& e) {
            keyring_fallback(s, e, 108, py::write_failed);
        }
        if (write_failed) {
            keyring_fallback(s, PyError{}, 108, py::write_failed);
        }
        if (written) {
            remove_fallback_file(s, self);
            return none();
        }
    }
    s.at(112);
    Ref target = frame::attr(self, py::path);
    Ref encrypted = frame::call_method(frame::attr(self, py::crypto), py::encrypt, {raw});
    replace_file_privately(target.get(), encrypted.get());
    s.at(113);
    frame::Method chmod(frame::attr(self, py::path), py::chmod);
    Ref mode = owner_mode(false);
    chmod({mode});
    return none();
}

Ref save_session_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* session_id = args[1];
    PyObject* email = args[2];
    PyObject* expires_at = args[3];
    PyObject* device_code = args[4];

    s.at(127);
    Ref data = load_or_empty(self);

    // (stored_id and stored_id != session_id) or (stored_email and stored_email != email):
    // a missing or empty stored value is never a change of login.  Each
    // comparison's result is tested for truth once and the answer kept: a
    // result that answered "changed" must not get a second say on whether
    // the previous user's tokens survive.
    s.at(129);
    bool session_changed = frame::truth(frame::call_method(data, py::get, {py::session_id}));
    if (session_changed) {
        Ref stored = frame::call_method(data, py::get, {py::session_id});
        session_changed = frame::truth(frame::not_equal(stored, session_id));
    }
    if (!session_changed) {
        s.at(130);
        session_changed = frame::truth(frame::call_method(data, py::get, {py::email}));
        if (session_changed) {
            Ref stored = frame::call_method(data, py::get, {py::email});
            session_changed = frame::truth(frame::not_equal(stored, email));
        }
    }

    s.at(132);
    frame::Method update(data, py::update);
    Ref fields = frame::new_dict();
    frame::set_item(fields, py::session_id, session_id);
    frame::set_item(fields, py::email, email);
    frame::set_item(fields, py::session_expires_at, expires_at);
    s.at(136);
    Ref tokens = session_changed
                     ? frame::new_dict()
                     : frame::call_method(data, py::get, {py::tokens, frame::new_dict()});
    frame::set_item(fields, py::tokens, tokens);
    s.at(132);
    update({fields});

    if (device_code != Py_None) {
        s.at(140);
        frame::set_item(data, py::device_code, device_code);
    }
    s.at(141);
    frame::call_method(self, py::save, {data});
    return none();
}

Ref save_token_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* system_key = args[1];
    PyObject* jwt = args[2];
    PyObject* expires_in = args[3];

    s.at(145);
    Ref data = load_or_empty(self);
    s.at(146);
    frame::call_method(data, py::setdefault, {py::tokens, frame::new_dict()});

    s.at(149);
    frame::Method now_of(frame::global(py::datetime), py::now);
    Ref utc = frame::attr(frame::global(py::timezone), py::utc);
    Ref now = now_of({utc});
    Ref timedelta = frame::global(py::timedelta);
    Ref lifetime = frame::call(timedelta, {expires_in}, kw_seconds);
    Ref expiry = add(now, lifetime);
    s.at(148);
    Ref expires_at = frame::call_method(expiry, py::isoformat);

    s.at(151);
    Ref entry = frame::new_dict();
    frame::set_item(entry, py::jwt, jwt);
    frame::set_item(entry, py::expires_at, expires_at);
    Ref int_type = frame::global(py::int_);
    Ref seconds_now = frame::call_method(frame::global(py::time), py::time);
    frame::set_item(entry, py::saved_at, frame::call(int_type, {seconds_now}));
    s.at(150);
    frame::set_item(frame::get_item(data, py::tokens), system_key, entry);

    s.at(155);
    frame::call_method(self, py::save, {data});
    return none();
}

Ref remove_token_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* system_key = args[1];

    s.at(166);
    Ref data = load_or_empty(self);
    s.at(167);
    Ref tokens = frame::call_method(data, py::get, {py::tokens, frame::new_dict()});
    s.at(168);
    if (!frame::contains(tokens, system_key)) {
        return frame::bool_value(false);
    }
    s.at(169);
    frame::del_item(tokens, system_key);
    s.at(170);
    frame::set_item(data, py::tokens, tokens);
    s.at(171);
    frame::call_method(self, py::save, {data});
    return frame::bool_value(true);
}

// `except Exception as _kr_exc: _logger.debug(message, _kr_exc)` of clear.
// Unlike load and _save, no failure is silent here: "nothing stored" and "no
// backend" both deserve a trace when clearing.
void keyring_clear_failed(Scope& s, const PyError& error)
{
    Caught exc(s, error);
    s.at(180);
    if (!exc.matches(PyExc_Exception)) {
        exc.reraise();
    }
    s.at(181);
    frame::call_method(frame::global(py::logger), py::debug, {py::clear_failed, exc.value()});
}

Ref clear_body(Scope& s, PyObject* const* args)
{
    PyObject* self = args[0];

    s.at(177);
    if (frame::truth(frame::attr(self, py::use_keyring))) {
        // "Nothing stored" and "no backend" are everyday failures here: they
        // come back pending, not thrown.
        bool delete_failed = false;
        try {
            s.at(179);
            frame::Method delete_password(frame::global(py::keyring), py::delete_password);
            Ref service = frame::global(py::keyring_service);
            Ref account = frame::global(py::keyring_account);
            delete_failed = !delete_password.call_or_fail({service, account});
        } catch (const PyError& e) {
            keyring_clear_failed(s, e);
        }
        if (delete_failed) {
            keyring_clear_failed(s, PyError{});
        }
    }
    s.at(183);
    if (frame::truth(frame::call_method(frame::attr(self, py::path), py::exists))) {
        s.at(184);
        frame::call_method(frame::attr(self, py::path), py::unlink);
    }
    return none();
}

// --- the module table ------------------------------------------------------------


constexpr frame::Param kInitParams[] = {{"self"}, {"base_dir", "Path | None"}};
constexpr frame::Param kSelfOnly[] = {{"self"}};
constexpr frame::Param kSaveParams[] = {{"self"}, {"data", "dict", Check::ExactDict}};
constexpr frame::Param kSaveSessionParams[] = {
    {"self"},
    {"session_id", "str", Check::ExactStr},
    {"email", "str", Check::ExactStr},
    {"expires_at", "str", Check::ExactStr},
    {"device_code", "str | None", Check::ExactStrOrNone},
};
constexpr frame::Param kSaveTokenParams[] = {
    {"self"},
    {"system_key", "str", Check::ExactStr},
    {"jwt", "str", Check::ExactStr},
    {"expires_in", "int", Check::Int},
};
constexpr frame::Param kRemoveTokenParams[] = {{"self"}, {"system_key", "str", Check::ExactStr}};

constexpr const char* kInitLocals[] = {"CONFIG_DIR"};
constexpr const char* kRawLocals[] = {"raw", "_kr_exc"};
constexpr const char* kSaveSessionLocals[] = {"data", "session_changed"};
constexpr const char* kSaveTokenLocals[] = {"data", "expires_at"};
constexpr const char* kRemoveTokenLocals[] = {"data", "tokens"};
constexpr const char* kClearLocals[] = {"_kr_exc"};

constexpr frame::MethodDef kMethods[] = {
    {.name = "__init__", .kind = Kind::Method, .params = kInitParams, .kwonly = {},
     .defaults = 1, .returns = nullptr, .doc = kInitDoc, .locals = kInitLocals,
     .first_line = 52, .last_line = 66, .body = init_body},
    {.name = "base_dir", .kind = Kind::Property, .params = kSelfOnly, .kwonly = {},
     .defaults = 0, .returns = "Path", .doc = kBaseDirDoc, .locals = {},
     .first_line = 68, .last_line = 71, .body = base_dir_body},
    {.name = "load", .kind = Kind::Method, .params = kSelfOnly, .kwonly = {},
     .defaults = 0, .returns = "dict | None", .doc = kLoadDoc, .locals = kRawLocals,
     .first_line = 73, .last_line = 97, .body = load_body},
    {.name = "_save", .kind = Kind::Method, .params = kSaveParams, .kwonly = {},
     .defaults = 0, .returns = nullptr, .doc = kSaveDoc, .locals = kRawLocals,
     .first_line = 100, .last_line = 113, .body = save_body},
    {.name = "save_session", .kind = Kind::Method, .params = kSaveSessionParams, .kwonly = {},
     .defaults = 1, .returns = nullptr, .doc = kSaveSessionDoc, .locals = kSaveSessionLocals,
     .first_line = 115, .last_line = 141, .body = save_session_body},
    {.name = "save_token", .kind = Kind::Method, .params = kSaveTokenParams, .kwonly = {},
     .defaults = 0, .returns = nullptr, .doc = kSaveTokenDoc, .locals = kSaveTokenLocals,
     .first_line = 143, .last_line = 155, .body = save_token_body},
    {.name = "remove_token", .kind = Kind::Method, .params = kRemoveTokenParams, .kwonly = {},
     .defaults = 0, .returns = "bool", .doc = kRemoveTokenDoc, .locals = kRemoveTokenLocals,
     .first_line = 157, .last_line = 172, .body = remove_token_body},
    {.name = "clear", .kind = Kind::Method, .params = kSelfOnly, .kwonly = {},
     .defaults = 0, .returns = nullptr, .doc = nullptr, .locals = kClearLocals,
     .first_line = 175, .last_line = 184, .body = clear_body},
};

constexpr const char* kInitBuiltins[] = {"property"};

constexpr frame::ModuleDef kModule = {
    .name = "login_vault",
    .dotted_name = "tarnix.auth.storage.login_vault",
    .source_path = "tarnix/auth/storage/login_vault",
    .doc = kModuleDoc,
    .init_builtins = kInitBuiltins,
    .body = module_body,
    .cls = {.name = "LoginVault", .doc = kClassDoc, .line = 45, .methods = kMethods,
            .generators = {}},
};

}  // namespace

PyMODINIT_FUNC PyInit_login_vault(void)
{
    return frame::module_init(kModule);
}
