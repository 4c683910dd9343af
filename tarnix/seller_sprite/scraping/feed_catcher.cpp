// The response recorder: keeps, per business section, the latest JSON
// response of the service whose URL and body shape say it is the one the
// section is after, and writes the records out as JSON files.
//
// Line numbers marked with s.at() are those of the module's Python source;
// traceback entries must point at them, so every statement that can fail is
// marked before it runs.
#include "coroutine.hpp"
#include "constants.hpp"
#include "leaf.hpp"
#include "method.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "ref.hpp"
#include "scope.hpp"

namespace {

using frame::Arg;
using frame::Ref;
using frame::Resumable;
using frame::Scope;
namespace leaf = frame::leaf;

// --- names and constants ----------------------------------------------------

frame::Str n_json{"json"};
frame::Str n_pathlib{"pathlib"};
frame::Str n_Path{"Path"};
frame::Str n_typing{"typing"};
frame::Str n_Any{"Any"};
frame::Str n_urllib_parse{"urllib.parse"};
frame::Str n_urlparse{"urlparse"};

frame::Str n_responses{"responses"};
frame::Str n_url{"url"};
frame::Str n_status{"status"};
frame::Str n_payload{"payload"};
frame::Str n_netloc{"netloc"};
frame::Str n_lower{"lower"};
frame::Str n_matches{"_matches_section_payload"};
frame::Str n_get{"get"};
frame::Str n_data{"data"};
frame::Str n_items{"items"};
frame::Str n_keyword{"keyword"};
frame::Str n_asin{"asin"};
frame::Str n_monthly_dto{"monthlyDto"};
frame::Str n_variations{"variations"};
frame::Str n_stat_dto{"statDto"};
frame::Str n_dumps{"dumps"};
frame::Str n_mkdir{"mkdir"};
frame::Str n_write_text{"write_text"};
frame::Str n_parents{"parents"};
frame::Str n_exist_ok{"exist_ok"};
frame::Str n_ensure_ascii{"ensure_ascii"};
frame::Str n_indent{"indent"};
frame::Str n_encoding{"encoding"};
frame::Str n_utf8{"utf-8"};
frame::Str n_json_suffix{".json"};
frame::Str n_response_suffix{"_response"};

frame::Str n_frequency{"frequency"};
frame::Str n_reverse_frequency{"reverse_frequency"};
frame::Str n_keyword_mining{"keyword_mining"};
frame::Str n_keyword_reverse{"keyword_reverse"};
frame::Str n_reverse_monthly{"reverse_monthly"};
frame::Str n_reverse_stats{"reverse_stats"};

// The service's domain, and the suffix every subdomain of it ends with.
frame::Str n_domain{"sellersprite.com"};
frame::Str n_subdomain_suffix{".sellersprite.com"};

frame::KwNames kw_mkdir{&n_parents, &n_exist_ok};
frame::KwNames kw_dumps{&n_ensure_ascii, &n_indent};
frame::KwNames kw_encoding{&n_encoding};

// --- the bodies ---------------------------------------------------------------

Ref none() noexcept { return Ref::borrow(Py_None); }

// next(iterator), or an empty Ref once it is exhausted.
Ref next_item(Arg iterator) {
    PyObject* item = PyIter_Next(iterator.get());
    if (item == nullptr && PyErr_Occurred() != nullptr) {
        frame::raise_pending();
    }
    return Ref::steal(item);
}

// A netloc that only *contains* our domain is not ours: the host is what is
// left once the credentials (up to the last '@', as browsers split it) and
// the port are gone, and it must be the domain itself or a subdomain of it.
// urlparse ends the netloc at '/', '?' or '#' only, but a browser ends the
// authority of an http(s) URL at a backslash too: what follows is path.
bool is_service_host(PyObject* netloc) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(netloc);
    const Py_ssize_t backslash = PyUnicode_FindChar(netloc, '\\', 0, length, 1);
    if (backslash == -2) {
        frame::raise_pending();
    }
    if (backslash >= 0) {
        length = backslash;
    }
    const Py_ssize_t at = PyUnicode_FindChar(netloc, '@', 0, length, -1);
    if (at == -2) {
        frame::raise_pending();
    }
    const Py_ssize_t start = at + 1;
    Py_ssize_t end = length;
    if (start < length && PyUnicode_READ_CHAR(netloc, start) == '[') {
        // An IP literal keeps its colons inside the brackets.
        const Py_ssize_t close = PyUnicode_FindChar(netloc, ']', start, length, 1);
        if (close == -2) {
            frame::raise_pending();
        }
        end = close < 0 ? length : close + 1;
    } else {
        const Py_ssize_t colon = PyUnicode_FindChar(netloc, ':', start, length, 1);
        if (colon == -2) {
            frame::raise_pending();
        }
        if (colon >= 0) {
            end = colon;
        }
    }
    const Py_ssize_t host_length = end - start;
    const Py_ssize_t domain_length = PyUnicode_GET_LENGTH(n_domain.get());
    const Py_ssize_t suffix_length = PyUnicode_GET_LENGTH(n_subdomain_suffix.get());
    if (host_length == domain_length) {
        return frame::ok(static_cast<int>(PyUnicode_Tailmatch(netloc, n_domain.get(), start, end, 1))) == 1;
    }
    if (host_length > suffix_length) {
        return frame::ok(static_cast<int>(
                   PyUnicode_Tailmatch(netloc, n_subdomain_suffix.get(), start, end, 1))) == 1;
    }
    return false;
}

// The domain test on the lower-cased netloc.  Anything but text still goes
// through the `in` test first, so a bytes URL fails exactly as it always did;
// whatever survives that cannot be vetted as a host and is refused.
bool from_service_domain(Arg netloc) {
    if (!PyUnicode_Check(netloc.get())) {
        frame::contains(netloc, n_domain);
        return false;
    }
    return is_service_host(netloc.get());
}

Ref init_body(Scope& s, PyObject* const* args) {
    PyObject* self = args[0];
    s.at(15);
    frame::set_attr(self, n_responses, frame::new_dict());
    return none();
}

// Leaving the `except Exception:` clause of the decode step: anything else
// (cancellation, KeyboardInterrupt, GeneratorExit) goes on unchanged.
Ref swallow_decode_error(Scope& s, const frame::PyError& error) {
    frame::Caught exc(s, error);
    if (!exc.matches(PyExc_Exception)) {
        exc.reraise();
    }
    return none();
}

// Resumed at point 1 with the decoded body, or with the fetch's error pending.
Ref capture_decoded(Resumable& co, Scope& s, PyObject* sent) {
    PyObject* self = co.slot(0);
    PyObject* response = co.slot(1);
    PyObject* section = co.slot(2);
    s.at(29);
    if (sent == nullptr) {
        // The fetch failed and its exception is pending here, as if raised by
        // this statement.  Handled without a C++ throw: a body that is not
        // JSON is an everyday response, and a throw costs microseconds.
        return swallow_decode_error(s, frame::PyError{});
    }
    co.slots[5] = Ref::borrow(sent);
    PyObject* payload = co.slot(5);

    s.at(32);
    Ref matched = frame::call_method(self, n_matches, {section, payload});
    if (!frame::truth(matched)) {
        return none();
    }

    s.at(35);
    Ref record = frame::new_dict();
    frame::set_item(record, n_url, frame::attr(response, n_url));
    s.at(36);
    Ref status = frame::attr(response, n_status);
    s.at(35);
    frame::set_item(record, n_status, status);
    frame::set_item(record, n_payload, payload);

    s.at(34);
    Ref responses = frame::attr(self, n_responses);
    frame::set_item(responses, section, record);
    return none();
}

Ref capture_json_response(Resumable& co, Scope& s, PyObject* sent) {
    if (co.resume_point() == 1) {
        return capture_decoded(co, s, sent);
    }
    PyObject* response = co.slot(1);
    PyObject* url_keyword = co.slot(3);
    s.at(17);
    if (sent == nullptr) {
        frame::raise_pending();
    }

    s.at(25);
    Ref parse = frame::global(n_urlparse);
    Ref url = frame::attr(response, n_url);
    co.slots[4] = frame::call(parse, {url});
    PyObject* parsed_url = co.slot(4);

    s.at(26);
    Ref netloc = frame::attr(parsed_url, n_netloc);
    Ref lowered = frame::call_method(netloc, n_lower);
    if (!from_service_domain(lowered)) {
        return none();
    }
    Ref full_url = frame::attr(response, n_url);
    if (!frame::contains(full_url, url_keyword)) {
        return none();
    }

    s.at(29);
    try {
        Ref body = frame::call_method(response, n_json);
        return co.await(body, 1);
    } catch (const frame::PyError& error) {
        return swallow_decode_error(s, error);
    }
}

// The element scan of the frequency sections, as `any(...)` over a generator
// expression: it returns at the first element that is a dict holding both
// keys and never yields.  Slot 0 holds `data`, slot 1 the iterator, slot 2
// `item`.
Ref element_scan(Resumable& co, Scope& s, PyObject* sent) {
    s.at(47);
    if (sent == nullptr) {
        frame::raise_pending();
    }
    co.slots[1] = frame::take(PyObject_GetIter(co.slot(0)));
    while (true) {
        Ref item = next_item(co.slot(1));
        if (!item) {
            break;
        }
        co.slots[2] = std::move(item);
        PyObject* element = co.slot(2);
        if (frame::is_instance(element, &PyDict_Type) && frame::contains(element, n_frequency) &&
            frame::contains(element, n_keyword)) {
            return frame::bool_value(true);
        }
        frame::check_signals();
    }
    return frame::bool_value(false);
}

constexpr const char* kScanLocals[] = {"item"};

constexpr frame::GeneratorDef kGenerators[] = {
    {
        .name = "genexpr",
        .owner = "_matches_section_payload",
        .locals = kScanLocals,
        .first_line = 47,
        .last_line = 47,
        .resume = element_scan,
    },
};

Ref matches_section_payload(Scope& s, PyObject* const* args) {
    PyObject* section = args[1];
    PyObject* payload = args[2];
    s.at(42);
    if (!frame::is_instance(payload, &PyDict_Type)) {
        return frame::bool_value(false);
    }
    s.at(44);
    Ref data = frame::call_method(payload, n_get, {n_data});

    // Both frequency sections share one rule (the source spells it out in
    // each branch, hence the two genexpr locals of the code object).
    if (frame::str_equals(section, n_frequency) || frame::str_equals(section, n_reverse_frequency)) {
        s.at(47);
        if (!frame::is_instance(data, &PyList_Type)) {
            return frame::bool_value(false);
        }
        Ref genexpr = frame::new_generator(kGenerators[0], {data});
        return frame::run_to_return(genexpr, Py_True);
    }
    if (frame::str_equals(section, n_keyword_mining)) {
        s.at(50);
        if (!frame::is_instance(data, &PyDict_Type)) {
            return frame::bool_value(false);
        }
        Ref items = frame::call_method(data, n_get, {n_items});
        return frame::bool_value(frame::is_instance(items, &PyList_Type));
    }
    if (frame::str_equals(section, n_keyword_reverse)) {
        s.at(52);
        if (!frame::is_instance(data, &PyDict_Type)) {
            return frame::bool_value(false);
        }
        Ref items = frame::call_method(data, n_get, {n_items});
        if (!frame::is_instance(items, &PyList_Type)) {
            return frame::bool_value(false);
        }
        items.reset();
        return frame::bool_value(frame::contains(data, n_asin));
    }
    if (frame::str_equals(section, n_reverse_monthly)) {
        s.at(54);
        return frame::bool_value(frame::is_instance(data, &PyDict_Type) &&
                                 frame::contains(data, n_monthly_dto) &&
                                 frame::contains(data, n_variations));
    }
    if (frame::str_equals(section, n_reverse_stats)) {
        s.at(56);
        return frame::bool_value(frame::is_instance(data, &PyDict_Type) &&
                                 frame::contains(data, n_stat_dto) && frame::contains(data, n_asin));
    }
    return frame::bool_value(false);
}

// The frameless forms of the two rules' bodies (leaf.hpp): the payloads the
// browser hands over are what JSON decodes to, exact dicts of str keys,
// lists, text and numbers, for which every test of the rules is a lookup or
// a type test that runs no code.  Anything else (a dict subclass, a key with
// a __eq__ of its own, an object with a __class__ of its own) and the body
// runs in its frame.

// isinstance(value, type) as the last test of a rule: its answer, or nullptr.
PyObject* type_test_result(PyObject* value, PyTypeObject* type) noexcept {
    const leaf::Answer answer = leaf::is_instance(value, type);
    return answer == leaf::Answer::Unknown ? nullptr : leaf::result(answer == leaf::Answer::Yes);
}

// `any(isinstance(item, dict) and "frequency" in item and "keyword" in item
// for item in data)` for an exact list: nothing runs code, so nothing can
// change the list while it is walked by index, and no generator is needed
// to show a frame nobody can look at.
PyObject* element_scan_leaf(PyObject* data) noexcept {
    // The body's any() and its generator expression: two levels.
    if (!leaf::has_levels_for(2)) {
        return nullptr;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(data); ++index) {
        PyObject* element = PyList_GET_ITEM(data, index);
        const leaf::Answer is_dict = leaf::is_instance(element, &PyDict_Type);
        if (is_dict == leaf::Answer::Unknown) {
            return nullptr;
        }
        if (is_dict == leaf::Answer::Yes) {
            const leaf::Answer has_frequency = leaf::contains(element, n_frequency.get());
            if (has_frequency == leaf::Answer::Unknown) {
                return nullptr;
            }
            if (has_frequency == leaf::Answer::Yes) {
                const leaf::Answer has_keyword = leaf::contains(element, n_keyword.get());
                if (has_keyword == leaf::Answer::Unknown) {
                    return nullptr;
                }
                if (has_keyword == leaf::Answer::Yes) {
                    return leaf::result(true);
                }
            }
        }
        if (leaf::signal_pending()) {
            return nullptr;
        }
    }
    return leaf::result(false);
}

PyObject* matches_section_payload_leaf(PyObject* const* args) noexcept {
    PyObject* section = args[1];
    PyObject* payload = args[2];
    const leaf::Answer is_dict = leaf::is_instance(payload, &PyDict_Type);
    if (is_dict != leaf::Answer::Yes) {
        return is_dict == leaf::Answer::No ? leaf::result(false) : nullptr;
    }
    PyObject* data = leaf::get(payload, n_data.get());
    if (data == nullptr) {
        return nullptr;
    }
    if (frame::str_equals(section, n_frequency) || frame::str_equals(section, n_reverse_frequency)) {
        if (!PyList_CheckExact(data)) {
            return type_test_result(data, &PyList_Type);
        }
        return element_scan_leaf(data);
    }
    const bool keyword_mining = frame::str_equals(section, n_keyword_mining);
    if (keyword_mining || frame::str_equals(section, n_keyword_reverse)) {
        if (!PyDict_CheckExact(data)) {
            return type_test_result(data, &PyDict_Type);
        }
        PyObject* items = leaf::get(data, n_items.get());
        if (items == nullptr) {
            return nullptr;
        }
        if (keyword_mining || !PyList_CheckExact(items)) {
            return type_test_result(items, &PyList_Type);
        }
        const leaf::Answer has_asin = leaf::contains(data, n_asin.get());
        return has_asin == leaf::Answer::Unknown ? nullptr : leaf::result(has_asin == leaf::Answer::Yes);
    }
    const bool reverse_monthly = frame::str_equals(section, n_reverse_monthly);
    if (reverse_monthly || frame::str_equals(section, n_reverse_stats)) {
        if (!PyDict_CheckExact(data)) {
            return type_test_result(data, &PyDict_Type);
        }
        const leaf::Answer has_first = leaf::contains(data, reverse_monthly ? n_monthly_dto.get() : n_stat_dto.get());
        if (has_first != leaf::Answer::Yes) {
            return has_first == leaf::Answer::No ? leaf::result(false) : nullptr;
        }
        const leaf::Answer has_second = leaf::contains(data, reverse_monthly ? n_variations.get() : n_asin.get());
        return has_second == leaf::Answer::Unknown ? nullptr : leaf::result(has_second == leaf::Answer::Yes);
    }
    return leaf::result(false);
}

// get_payload's frameless form: the records it reads are the capture's own
// exact dicts, keyed by the checked section text.
PyObject* get_payload_leaf(PyObject* const* args) noexcept {
    PyObject* responses = leaf::attr(args[0], n_responses);
    if (responses == nullptr) {
        return nullptr;
    }
    PyObject* item = leaf::get(responses, args[1]);
    if (item == nullptr) {
        return nullptr;
    }
    // `not item`: None is false; an exact dict is false when empty; anything
    // else may have a __bool__ or __len__ of its own.
    if (item == Py_None) {
        return Py_NewRef(Py_None);
    }
    if (!PyDict_CheckExact(item)) {
        return nullptr;
    }
    if (PyDict_GET_SIZE(item) == 0) {
        return Py_NewRef(Py_None);
    }
    PyObject* payload = leaf::get(item, n_payload.get());
    if (payload == nullptr) {
        return nullptr;
    }
    // A dict subclass passes the isinstance test and then fails the exact
    // type test, which raises: that is for the body.
    if (payload == Py_None || PyDict_CheckExact(payload)) {
        return Py_NewRef(payload);
    }
    return leaf::is_instance(payload, &PyDict_Type) == leaf::Answer::No ? Py_NewRef(Py_None) : nullptr;
}

Ref get_payload(Scope& s, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* section = args[1];
    s.at(61);
    Ref responses = frame::attr(self, n_responses);
    Ref item = frame::call_method(responses, n_get, {section});
    s.at(62);
    if (!frame::truth(item)) {
        return none();
    }
    s.at(64);
    Ref payload = frame::call_method(item, n_get, {n_payload});
    s.at(65);
    if (!frame::is_instance(payload, &PyDict_Type)) {
        payload = none();
    }
    return frame::expect_dict_or_none(std::move(payload));
}

Ref save_all(Scope& s, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* target_dir = args[1];
    s.at(69);
    frame::call_method(target_dir, n_mkdir, {Py_True, Py_True}, kw_mkdir);
    s.at(70);
    Ref files = frame::new_dict();
    s.at(71);
    Ref responses = frame::attr(self, n_responses);
    frame::ItemWalk walk(responses);
    Ref indent = frame::take(PyLong_FromLong(2));
    while (true) {
        s.at(71);
        if (!walk.next()) {
            break;
        }
        PyObject* section = walk.key();
        PyObject* item = walk.value();
        s.at(72);
        Ref path = frame::true_divide(target_dir, frame::concat(frame::format_value(section), n_json_suffix));
        s.at(73);
        frame::Method write_text(path, n_write_text);
        s.at(74);
        Ref dumps = frame::attr(frame::global(n_json), n_dumps);
        Ref text = frame::call(dumps, {item, Py_False, indent}, kw_dumps);
        s.at(73);
        write_text({text, n_utf8}, kw_encoding);
        s.at(77);
        Ref path_text = frame::take(PyObject_Str(path.get()));
        Ref key = frame::concat(frame::format_value(section), n_response_suffix);
        frame::set_item(files, key, path_text);
        frame::check_signals();
    }
    return files;
}

// --- the module table -----------------------------------------------------------

constexpr frame::Param kSelfOnly[] = {{"self"}};
constexpr frame::Param kCaptureParams[] = {{"self"}, {"response"}};
constexpr frame::Param kCaptureKwonly[] = {
    {"section", "str", frame::Check::ExactStr},
    {"url_keyword", "str", frame::Check::ExactStr},
};
constexpr frame::Param kMatchesParams[] = {
    {"self"},
    {"section", "str", frame::Check::ExactStr},
    {"payload", "Any"},
};
constexpr frame::Param kGetPayloadParams[] = {{"self"}, {"section", "str", frame::Check::ExactStr}};
constexpr frame::Param kSaveAllParams[] = {{"self"}, {"target_dir", "Path"}};

constexpr const char* kCaptureLocals[] = {"parsed_url", "payload"};
constexpr const char* kMatchesLocals[] = {"data", "genexpr", "genexpr"};
constexpr const char* kGetPayloadLocals[] = {"item", "payload"};
constexpr const char* kSaveAllLocals[] = {"files", "section", "item", "path"};

constexpr const char kCaptureDoc[] =
    "按 URL 关键词捕获 JSON 响应。\n"
    "\n"
    "        Args:\n"
    "            response: Playwright response 对象。\n"
    "            section: 响应所属业务分区，例如 frequency 或 keyword_mining。\n"
    "            url_keyword: URL 中用于匹配接口的关键词。\n"
    "        ";

constexpr frame::MethodDef kMethods[] = {
    {
        .name = "__init__",
        .kind = frame::Kind::Method,
        .params = kSelfOnly,
        .kwonly = {},
        .defaults = 0,
        .returns = "None",
        .doc = nullptr,
        .locals = {},
        .first_line = 14,
        .last_line = 15,
        .body = init_body,
    },
    {
        .name = "capture_json_response",
        .kind = frame::Kind::Coroutine,
        .params = kCaptureParams,
        .kwonly = kCaptureKwonly,
        .defaults = 0,
        .returns = "None",
        .doc = kCaptureDoc,
        .locals = kCaptureLocals,
        .first_line = 17,
        .last_line = 36,
        .resume = capture_json_response,
    },
    {
        .name = "_matches_section_payload",
        .kind = frame::Kind::Method,
        .params = kMatchesParams,
        .kwonly = {},
        .defaults = 0,
        .returns = "bool",
        .doc = "按响应结构识别目标接口，避免误收页面辅助接口。",
        .locals = kMatchesLocals,
        .first_line = 40,
        .last_line = 57,
        .body = matches_section_payload,
        .leaf = matches_section_payload_leaf,
    },
    {
        .name = "get_payload",
        .kind = frame::Kind::Method,
        .params = kGetPayloadParams,
        .kwonly = {},
        .defaults = 0,
        .returns = "dict[str, Any] | None",
        .doc = "读取指定分区的响应 payload。",
        .locals = kGetPayloadLocals,
        .first_line = 59,
        .last_line = 65,
        .body = get_payload,
        .leaf = get_payload_leaf,
    },
    {
        .name = "save_all",
        .kind = frame::Kind::Method,
        .params = kSaveAllParams,
        .kwonly = {},
        .defaults = 0,
        .returns = "dict[str, str]",
        .doc = "将已捕获响应写入目录，返回文件索引。",
        .locals = kSaveAllLocals,
        .first_line = 67,
        .last_line = 78,
        .body = save_all,
    },
};

void module_body(Scope& s) {
    s.at(5);
    frame::import_bind(n_json, n_json);
    s.at(6);
    frame::from_import_bind(n_pathlib, {&n_Path});
    s.at(7);
    frame::from_import_bind(n_typing, {&n_Any});
    s.at(8);
    frame::from_import_bind(n_urllib_parse, {&n_urlparse});
}

constexpr frame::ModuleDef kModule = {
    .name = "feed_catcher",
    .dotted_name = "tarnix.seller_sprite.scraping.feed_catcher",
    .source_path = "tarnix/seller_sprite/scraping/feed_catcher",
    .doc = "卖家精灵接口响应记录器。",
    .init_builtins = {},
    .body = module_body,
    .cls =
        {
            .name = "SellerSpriteFeedCatcher",
            .doc = "记录 Playwright 捕获到的 JSON 响应。",
            .line = 11,
            .methods = kMethods,
            .generators = kGenerators,
        },
};

}  // namespace

PyMODINIT_FUNC PyInit_feed_catcher(void) {
    return frame::module_init(kModule);
}
