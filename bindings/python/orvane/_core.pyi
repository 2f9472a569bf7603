"""Type stub of `orvane._core`, the compiled extension that the `orvane` package re-exports."""

from types import TracebackType
from typing import Any, Callable, Literal

import numpy as np
import numpy.typing as npt

__version__: str

_Image = npt.NDArray[np.float32]

class OrvaneError(Exception):
    """A CoOrvane member failed; ``message`` is the component's text, ``hresult`` its result."""

    message: str
    hresult: int
    def __init__(self, message: str, hresult: int = 0x80004005) -> None: ...

class InvalidArgumentError(OrvaneError, ValueError):
    """A member refused an argument value (E_INVALIDARG, 0x80070057)."""

class OutOfMemoryError(OrvaneError, MemoryError):
    """The component could not allocate memory (E_OUTOFMEMORY, 0x8007000E)."""

class CoOrvane:
    """CoOrvane Class: one motion-measuring object."""

    def __init__(self) -> None: ...
    # Settings.
    lines: int
    """property lines: image height in rows (> 0, default 128)."""
    columns: int
    """property columns: image width in pixels (> 0, a multiple of 4, default 128)."""
    timederivative_mode: str
    """property timederivative_mode: "recursive" (default) or "batch"."""
    computation_mode: str
    """property computation_mode: "changedetection", "orvane", "affineparams" or "all"."""
    input_filter: int
    """property input_filter: nonzero smooths every frame (default 0)."""
    regularizer: float
    """property regularizer: constant added to the squared gradient (default 0.01)."""
    # Calls.
    def create_orvane(self) -> None:
        """method create_orvane: builds the engine from the current settings."""
    def destroy_orvane(self) -> None:
        """method destroy_orvane: releases the engine (RuntimeWarning if there is none)."""
    def process_data(self, img: Any) -> None:
        """method process_data: one float32 frame of shape (lines, columns)."""
    # Result images: new float32 arrays of shape (lines, columns).
    def imgbuffer(self, i: int) -> _Image:
        """property imgbuffer: frame i (0 oldest .. 4 newest), shape (lines+4, columns+4)."""
    def imgdebug(self, i: int) -> _Image:
        """property imgdebug: history slot i (0..4) in storage order."""
    @property
    def Is(self) -> _Image:
        """property Is"""
    @property
    def It(self) -> _Image:
        """property It"""
    @property
    def It2(self) -> _Image:
        """property It2"""
    @property
    def Ix(self) -> _Image:
        """property Ix"""
    @property
    def Iy(self) -> _Image:
        """property Iy"""
    @property
    def Fn2(self) -> _Image:
        """property Fn2"""
    @property
    def Un(self) -> _Image:
        """property Un"""
    @property
    def Vn(self) -> _Image:
        """property Vn"""
    @property
    def Ix2(self) -> _Image:
        """property Ix2"""
    @property
    def Iy2(self) -> _Image:
        """property Iy2"""
    @property
    def Ig2(self) -> _Image:
        """property Ig2"""
    @property
    def Ixy(self) -> _Image:
        """property Ixy"""
    @property
    def Ixt(self) -> _Image:
        """property Ixt"""
    @property
    def Iyt(self) -> _Image:
        """property Iyt"""
    # Keyword lists, one keyword per line, each ended by a line feed.
    def list_timederivative_modes(self) -> str:
        """method list_timederivative_modes"""
    def list_computation_modes(self) -> str:
        """method list_computation_modes"""
    # Python conveniences.
    def __enter__(self) -> CoOrvane: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...

RESULT_IMAGES: dict[str, tuple[tuple[str, ...], str]]
"""The result images by property name: (the computation modes that compute it, its region,
"interior" of the bordered input or "plain"). A mode that does not compute an image hands it
out as zeros."""

def last_error() -> str | None:
    """The last message the component recorded on the calling thread, or None."""

def cpu_type() -> int:
    """Processor type code of this machine (0-8, 16 or 17)."""

def cpu_class() -> int:
    """Processor class of this machine (0-3)."""

def fill_slots(k: int) -> bool:
    """Use kernel column k (0-3) until the next CoOrvane is constructed."""

def set_engine_threads(n: int) -> None:
    """Split each frame into bands of rows on n threads (1-64); the results are the same."""

def engine_threads() -> int:
    """The number of threads each frame is split over."""

def _members() -> list[dict[str, Any]]: ...
def _live_result_images() -> int: ...
def _last_input_address() -> int: ...
def _analyze(
    inputs: str | list[str] | None,
    out: str | None,
    settings: dict[str, Any],
    on_frame: Callable[[dict[str, Any]], object] | None = None,
    catch_interrupts: bool = False,
) -> tuple[str, dict[str, Any]]: ...
def _flow_check_settings(settings: dict[str, Any]) -> None: ...
def _flow_settings() -> list[str]: ...
def _flow_setting_from_text(name: str, text: str) -> object: ...
