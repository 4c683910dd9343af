"""What Python code sees of the recorder module and its class."""

import asyncio
import inspect
import traceback

import pytest

import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher as Catcher


def test_module_binds_its_names_in_order():
    import json
    from pathlib import Path
    from typing import Any
    from urllib.parse import urlparse

    names = [n for n in vars(feed_catcher) if not n.startswith("__")]
    assert names == ["json", "Path", "Any", "urlparse", "SellerSpriteFeedCatcher"]
    assert (feed_catcher.json, feed_catcher.Path, feed_catcher.Any, feed_catcher.urlparse) == (
        json, Path, Any, urlparse)
    assert feed_catcher.__doc__ == "卖家精灵接口响应记录器。"


def test_class_surface():
    assert Catcher.__bases__ == (object,)
    assert Catcher.__module__ == "tarnix.seller_sprite.scraping.feed_catcher"
    assert Catcher.__doc__ == "记录 Playwright 捕获到的 JSON 响应。"
    members = [n for n in vars(Catcher) if not n.startswith("__") or n == "__init__"]
    assert members == ["__init__", "capture_json_response", "_matches_section_payload",
                       "get_payload", "save_all"]
    assert Catcher.capture_json_response.__doc__.startswith("按 URL 关键词捕获 JSON 响应。\n\n        Args:\n")
    assert Catcher.capture_json_response.__doc__.endswith("URL 中用于匹配接口的关键词。\n        ")
    assert Catcher.__init__.__doc__ is None


@pytest.mark.parametrize("name, annotations, varnames, argcount, kwonly, line", [
    ("__init__", {"return": "None"}, ("self",), 1, 0, 14),
    ("capture_json_response",
     {"section": "str", "url_keyword": "str", "return": "None"},
     ("self", "response", "section", "url_keyword", "parsed_url", "payload"), 2, 2, 17),
    ("_matches_section_payload",
     {"section": "str", "payload": "Any", "return": "bool"},
     ("self", "section", "payload", "data", "genexpr", "genexpr"), 3, 0, 40),
    ("get_payload", {"section": "str", "return": "dict[str, Any] | None"},
     ("self", "section", "item", "payload"), 2, 0, 59),
    ("save_all", {"target_dir": "Path", "return": "dict[str, str]"},
     ("self", "target_dir", "files", "section", "item", "path"), 2, 0, 67),
])
def test_method_code_and_annotations(name, annotations, varnames, argcount, kwonly, line):
    function = getattr(Catcher, name)
    code = function.__code__
    assert function.__qualname__ == "SellerSpriteFeedCatcher." + name
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)
    assert function.__defaults__ is None
    assert (code.co_varnames, code.co_argcount, code.co_kwonlyargcount, code.co_firstlineno) == (
        varnames, argcount, kwonly, line)
    assert code.co_filename == "tarnix/seller_sprite/scraping/feed_catcher"
    assert code.co_flags == (0x83 if name == "capture_json_response" else 3)


def test_capture_is_a_coroutine_function_with_a_keyword_only_signature():
    method = Catcher.capture_json_response
    assert asyncio.iscoroutinefunction(method) and inspect.iscoroutinefunction(method)
    assert str(inspect.signature(method)) == (
        "(self, response, *, section: 'str', url_keyword: 'str') -> 'None'")
    coro = Catcher().capture_json_response(None, section="s", url_keyword="k")
    assert (coro.__name__, coro.__qualname__) == (
        "capture_json_response", "SellerSpriteFeedCatcher.capture_json_response")
    coro.close()


def test_constructor_takes_no_arguments_and_starts_empty():
    first, second = Catcher(), Catcher()
    assert first.responses == {} and first.responses is not second.responses
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(2 given\)") as info:
        Catcher(1)
    entry = traceback.extract_tb(info.tb)[-1]
    assert (entry.name, entry.lineno) == (
        "tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher.__init__", 14)
