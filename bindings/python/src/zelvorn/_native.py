"""Finding and loading the native library, and the C prototypes of its 35
functions.

Every pointer argument is declared with its exact ctypes type, so that ctypes
refuses a Python object of the wrong kind instead of handing the C side an
address it could write past. Buffers are created by the callers in
``reader.py`` with the sizes the header states.
"""

from __future__ import annotations

import ctypes
import os
import sys
import weakref
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .errors import LibraryNotFound

PathLike = Union[str, "os.PathLike[str]"]

LIBRARY_VARIABLE = "ZELVORN_LIBRARY"
VIRTUAL_LIBRARY_VARIABLE = "ZELVORN_VIRTUAL_LIBRARY"
SCENARIO_VARIABLE = "ZELVORN_VIRTUAL_SCENARIO"

# Sizes from zelvorn.h.
MAX_READERS = 20
SERIAL_FIELD = 10
MAX_LISTED_TAGS = 9
MAX_TELEGRAM = 121
MAX_TELEGRAM_RESPONSE = 117
MAX_ATS = 117
MAX_DIRECT_RESPONSE = 59
MAX_APDU = 32767
VERSION_TEXT = 20
STATUS_BLOCK = 20

KEYTYPE_A = 0xAA
KEYTYPE_B = 0xBB
KEYTYPE_READER_A = 0xAD
KEYTYPE_READER_B = 0xBD
KEYTYPE_READER_F = 0xFD
KEYTYPE_STORED_A = 0xAF
KEYTYPE_STORED_B = 0xBF

if sys.platform == "win32":
    REAL_NAME, VIRTUAL_NAME = "zelvorn.dll", "zelvorn-virtual.dll"
else:
    REAL_NAME, VIRTUAL_NAME = "libzelvorn.so.1", "libzelvorn-virtual.so"

# Where `make install` puts the library by default; the loader's cache does
# not know a library installed there until ldconfig has run.
INSTALL_DIRS: Tuple[str, ...] = () if sys.platform == "win32" else ("/usr/local/lib",)


class StatusRecord(ctypes.Structure):
    """ReaderStatusRecord: 10 bytes without gaps, wide fields in host order."""

    _pack_ = 1
    _fields_ = [
        ("statusA", ctypes.c_uint8),
        ("statusB", ctypes.c_uint32),
        ("statusC", ctypes.c_uint8),
        ("statusD", ctypes.c_uint8),
        ("statusE", ctypes.c_uint8),
        ("statusF", ctypes.c_uint16),
    ]


assert ctypes.sizeof(StatusRecord) == 10

_u8 = ctypes.c_uint8
_i8 = ctypes.c_int8
_i16 = ctypes.c_int16
_i32 = ctypes.c_int32
_out8 = ctypes.POINTER(ctypes.c_uint8)
_out16 = ctypes.POINTER(ctypes.c_int16)
_out32 = ctypes.POINTER(ctypes.c_int32)
_in = ctypes.c_char_p  # read-only input bytes, passed as Python bytes

PROTOTYPES: Dict[str, Sequence[Any]] = {
    "Zelvorn_Open": [_i16],
    "Zelvorn_Close": [_i16],
    "Zelvorn_Select": [_i16, _out8, _out8, _out8],
    "Zelvorn_Login": [_i16, _u8, _u8, _u8, _in],
    "Zelvorn_Read": [_i16, _u8, _out8],
    "Zelvorn_Write": [_i16, _u8, _in],
    "Zelvorn_ReadValue": [_i16, _u8, _out32],
    "Zelvorn_WriteValue": [_i16, _u8, _i32],
    "Zelvorn_Inc": [_i16, _u8, _i32, _out32],
    "Zelvorn_Dec": [_i16, _u8, _i32, _out32],
    "Zelvorn_Copy": [_i16, _u8, _u8, _out32],
    "Zelvorn_WriteMasterKey": [_i16, _u8, _in],
    "Zelvorn_ListTags": [_i16, _out8, _out8, _out8, _out8],
    "Zelvorn_MultiTagSelect": [_i16, _u8, _in, _out8, _out8, _out8],
    "Zelvorn_TxDataTelegram": [_i16, _u8, _in, _out8, _out8],
    "Zelvorn_DirectSend": [_i16, _u8, _in, _out8, _out8],
    "Zelvorn_DirectReceive": [_i16, _u8, _out8, _out8],
    "Zelvorn_ReadATQB": [_i16, _out8],
    "Zelvorn_Reset": [_i16],
    "Zelvorn_Status": [_i16, _out8, ctypes.POINTER(StatusRecord)],
    "Zelvorn_Power": [_i16, _i8],
    "Zelvorn_ReadRC500Reg": [_i16, _u8, _out8],
    "Zelvorn_WriteRC500Reg": [_i16, _u8, _u8],
    "Zelvorn_ReadEEPROM": [_i16, _u8, _out8],
    "Zelvorn_WriteEEPROM": [_i16, _u8, _u8],
    "Zelvorn_ReadUserPort": [_i16, _out8],
    "Zelvorn_WriteUserPort": [_i16, _u8],
    "Zelvorn_RequestDLLVersion": [_out8, ctypes.POINTER(ctypes.c_char)],
    "Zelvorn_ASKSectorRead": [_i16, _u8, _out8],
    "Zelvorn_ASKSectorMultiRead": [_i16, _u8, _out8],
    "Zelvorn_ASKSectorWrite": [_i16, _u8, _out8, _u8],
    "PICC_InitBlockNumber": [_i16],
    "PICC_RATS": [_i16, _u8, _out8, _out8],
    "PICC_Xch_APDU": [_i16, _i32, _out16, _in, _out16, _out8],
    "PICC_Deselect": [_i16, _i32],
}


class Library:
    """One loaded copy of the native library.

    Every :class:`~zelvorn.Reader` opened through it shares it; so do the
    library's process-wide states: the table of open readers and the one
    ISO/IEC 14443-4 block state.

    Attributes:
        path: where it was loaded from (a file, or the name the system's
            library search found).
        virtual: whether it was asked for as the virtual library.
        raw: the :class:`ctypes.CDLL` with the prototypes of all 35 functions
            set, for calls the package does not wrap.
    """

    def __init__(self, raw: ctypes.CDLL, path: str, virtual: bool) -> None:
        self.raw = raw
        self.path = path
        self.virtual = virtual
        # Ports this process holds open through Reader objects, so that a
        # second Reader on the same port cannot close the first one's handle.
        # Weak references: a reader dropped without close() is closed when
        # it is collected, and a session dropped with it frees the block state.
        self._open_ports: Dict[int, weakref.ref[Any]] = {}
        # The ISO/IEC 14443-4 session that owns the block state, if any.
        self._iso_owner: Optional[weakref.ref[Any]] = None
        # The scenario the virtual reader started with (it reads its
        # variable once, when the first reader is opened), and whether it has.
        self._started = False
        self._scenario: Optional[str] = None

    @property
    def version(self) -> str:
        """The library's version text, e.g. ``"Zelvorn DLL 1.5.2.0"``."""
        length = ctypes.c_uint8()
        text = ctypes.create_string_buffer(VERSION_TEXT)
        self.raw.Zelvorn_RequestDLLVersion(ctypes.byref(length), text)
        return text.value.decode("ascii", "replace")

    def _use_scenario(self, scenario: Optional[PathLike]) -> None:
        """Makes the virtual reader start with this scenario file, or refuses
        when it already started with another."""
        if scenario is None:
            return
        path = os.path.abspath(os.fspath(scenario))
        if self._started:
            if path != self._scenario:
                raise RuntimeError(
                    f"the virtual reader of {self.path} already runs scenario "
                    f"{self._scenario or '(the default)'}; it reads its scenario once, "
                    f"when the first reader is opened, so {path} cannot be loaded in "
                    "this process"
                )
            return
        os.environ[SCENARIO_VARIABLE] = path

    def _holder(self, port: int) -> Optional[Any]:
        """The live Reader holding a port open, if any."""
        ref = self._open_ports.get(port)
        return ref() if ref is not None else None

    def _iso_session(self) -> Optional[Any]:
        """The live ISO/IEC 14443-4 session holding the block state, if any."""
        return self._iso_owner() if self._iso_owner is not None else None

    def _note_open(self) -> None:
        """Records the scenario in force when the first reader is opened."""
        if not self._started:
            self._started = True
            value = os.environ.get(SCENARIO_VARIABLE)
            self._scenario = os.path.abspath(value) if value else None


_loaded: Dict[str, Library] = {}


def candidates(library: Optional[PathLike], virtual: bool) -> List[Tuple[str, str]]:
    """Where to look, in order, as (what to load, why it is looked at).

    An explicit path, or failing that the environment variable, is the only
    candidate when given: falling back to some other library than the one
    named would hide the mistake.
    """
    if library is not None:
        return [(os.fspath(library), "library argument")]
    variable = VIRTUAL_LIBRARY_VARIABLE if virtual else LIBRARY_VARIABLE
    named = os.environ.get(variable)
    if named:
        return [(named, variable)]
    name = VIRTUAL_NAME if virtual else REAL_NAME
    found: List[Tuple[str, str]] = [(name, "system library search")]
    if sys.platform == "win32":
        # Python's own DLL search leaves PATH out; find_library looks there.
        import ctypes.util

        on_path = ctypes.util.find_library(name)
        if on_path:
            found.append((on_path, "PATH"))
    found += [(os.path.join(d, name), "install prefix") for d in INSTALL_DIRS]
    return found


def load(
    library: Optional[PathLike] = None,
    *,
    virtual: bool = False,
    scenario: Optional[PathLike] = None,
) -> Library:
    """Loads the native library (once per place; later calls share it).

    Looks, in this order, at: the path given; the environment variable
    ``ZELVORN_LIBRARY`` (``ZELVORN_VIRTUAL_LIBRARY`` with ``virtual=True``);
    the installed ``libzelvorn.so.1`` / ``zelvorn.dll`` (with ``virtual=True``
    ``libzelvorn-virtual.so`` / ``zelvorn-virtual.dll``) through the system's
    library search, then in ``/usr/local/lib``.

    Args:
        library: a file to load, real or virtual.
        virtual: look for the virtual library instead of the real one.
        scenario: a scenario file for the virtual reader (see
            docs/virtual-reader.md); only the virtual library reads it.

    Raises:
        LibraryNotFound: nothing could be loaded; it lists every place tried.
        RuntimeError: the virtual reader already runs another scenario.
    """
    tried: List[Tuple[str, str]] = []
    for place, why in candidates(library, virtual):
        key = os.path.realpath(place) if os.sep in place else place
        lib = _loaded.get(key)
        if lib is None:
            try:
                raw = ctypes.CDLL(place)
            except OSError as e:
                tried.append((f"{place} ({why})", str(e) or type(e).__name__))
                continue
            missing = [f for f in PROTOTYPES if not hasattr(raw, f)]
            if missing:
                tried.append((f"{place} ({why})", "lacks " + ", ".join(missing)))
                continue
            for function, argtypes in PROTOTYPES.items():
                entry = getattr(raw, function)
                entry.argtypes = list(argtypes)
                entry.restype = ctypes.c_int16
            lib = _loaded[key] = Library(raw, place, virtual)
        lib._use_scenario(scenario)
        return lib
    raise LibraryNotFound(tried)
