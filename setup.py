"""Builds the two native modules; each carries its own copy of the frame."""

import shutil
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_py import build_py

# Every interpreter version's compat files: each compiles to nothing in a
# build for another version (frame/compat.hpp picks one).
FRAME_SOURCES = sorted(str(path) for path in Path("frame").glob("**/*.cpp"))
FRAME_HEADERS = sorted(str(path) for path in Path("frame").glob("**/*.hpp"))
COMPILE_ARGS = ["-std=c++20", "-Wall", "-Wextra", "-fvisibility=hidden", "-flto=auto", "-fno-plt"]
# The bodies call the frame's small operations on every statement; link-time
# optimisation lets them be inlined across the frame's files.  The C++
# runtime is linked in, so that the wheel needs no libstdc++ newer than a
# manylinux system's; its symbols stay hidden, so that the two modules (and
# any other extension in the process) each keep their own copy.
LINK_ARGS = ["-flto=auto", "-O2", "-fno-plt", "-static-libstdc++", "-Wl,--exclude-libs,ALL"]

# PEP 561 lets a py.typed marker speak only for a whole package and all its
# subpackages, and `tarnix` is the tool's: a marker anywhere in it would
# declare the tool's own modules typed, and would be a file of ours among
# theirs.  A partial stub package speaks for exactly the stubs it holds;
# type checkers take everything else from the installed package, as before.
STUB_PACKAGE = "tarnix-stubs"


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


class build_stubs_only(build_py):
    """Puts into the wheel the stubs of the packages, never their modules.

    The Python files of these packages are the tool's, which installs them
    itself (stand-ins/ builds the stand-ins for environments without it).
    A copy of them in this wheel would replace the tool's files on install
    and delete them on uninstall.
    """

    def find_package_modules(self, package, package_dir):
        return []

    def run(self):
        if self.editable_mode:
            super().run()
            return
        # The build tree is kept between builds so that unchanged modules
        # are not compiled again; the wheel is made of all of it, so nothing
        # but those compiled modules may survive from an earlier build.
        for path in Path(self.build_lib).rglob("*"):
            if path.is_file() and path.suffix != ".so":
                path.unlink()
        super().run()
        stubs = Path(self.build_lib, STUB_PACKAGE)
        for package, _, build_dir, filenames in self.data_files:
            inside = Path(*package.split(".")[1:])
            for name in filenames:
                if name.endswith(".pyi"):
                    (stubs / inside).mkdir(parents=True, exist_ok=True)
                    shutil.copyfile(Path(build_dir, name), stubs / inside / name)
        (stubs / "py.typed").write_text("partial\n", encoding="ascii")


setup(
    ext_modules=[
        native_module("tarnix.auth.storage.login_vault"),
        native_module("tarnix.seller_sprite.scraping.feed_catcher"),
    ],
    cmdclass={"build_py": build_stubs_only},
)
