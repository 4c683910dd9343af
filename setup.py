"""Builds the two native modules; each carries its own copy of the frame."""

from pathlib import Path

from setuptools import Extension, setup

FRAME_SOURCES = sorted(str(path) for path in Path("frame").glob("*.cpp"))
FRAME_HEADERS = sorted(str(path) for path in Path("frame").glob("*.hpp"))
COMPILE_ARGS = ["-std=c++20", "-Wall", "-Wextra", "-fvisibility=hidden", "-flto=auto", "-fno-plt"]
# The bodies call the frame's small operations on every statement; link-time
# optimisation lets them be inlined across the frame's files.
LINK_ARGS = ["-flto=auto", "-O2", "-fno-plt"]


def native_module(dotted_name: str) -> Extension:
    source = dotted_name.replace(".", "/") + ".cpp"
    return Extension(
        dotted_name,
        sources=[source, *FRAME_SOURCES],
        depends=FRAME_HEADERS,
        include_dirs=["frame"],
        language="c++",
        extra_compile_args=COMPILE_ARGS,
        extra_link_args=LINK_ARGS,
    )


setup(
    ext_modules=[
        native_module("tarnix.auth.storage.login_vault"),
        native_module("tarnix.seller_sprite.scraping.feed_catcher"),
    ],
)
