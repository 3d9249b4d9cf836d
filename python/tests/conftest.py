"""Where the tests find the package and the render tool: PYTHONPATH=build/native/python, and
build/linux/grindlet-render (GRINDLET_RENDER overrides) for the comparisons with the module."""

import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="session")
def render_tool():
    tool = os.environ.get("GRINDLET_RENDER", os.path.join(ROOT, "build", "linux", "grindlet-render"))
    if not os.access(tool, os.X_OK):
        if os.environ.get("CI") == "true" or os.environ.get("GRINDLET_REQUIRE_RENDER"):
            pytest.fail(f"{tool} is not built")
        pytest.skip(f"{tool} is not built (cmake --preset linux && cmake --build build/linux)")
    return tool

