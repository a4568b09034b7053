# type_slots.py: a native class's slots and method tables reached through ctypes, so that tests can
# call its native entries directly, with receivers and arguments the interpreter would never pass.
import ctypes

from conftest import c_function

OBJECT = ctypes.py_object
# Slot numbers of the interpreter's typeslots.h, part of the stable ABI.
MP_LENGTH, MP_SUBSCRIPT, SQ_ITEM, TP_METHODS, TP_GETSET = 4, 5, 44, 64, 73
METH_FASTCALL_KEYWORDS = 0x80 | 0x02

# The interpreter's function types of the slots read here, named as in its headers.
LENFUNC = ctypes.PYFUNCTYPE(ctypes.c_ssize_t, OBJECT)
BINARYFUNC = ctypes.PYFUNCTYPE(OBJECT, OBJECT, OBJECT)
SSIZEARGFUNC = ctypes.PYFUNCTYPE(OBJECT, OBJECT, ctypes.c_ssize_t)
_FASTCALL_KEYWORDS = ctypes.PYFUNCTYPE(OBJECT, OBJECT, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p)
_GETTER = ctypes.PYFUNCTYPE(OBJECT, OBJECT, ctypes.c_void_p)


class _MethodDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("meth", ctypes.c_void_p), ("flags", ctypes.c_int), ("doc", ctypes.c_char_p)]


class _GetSetDef(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("get", ctypes.c_void_p),
        ("set", ctypes.c_void_p),
        ("doc", ctypes.c_char_p),
        ("closure", ctypes.c_void_p),
    ]


_get_slot = c_function("PyType_GetSlot", [OBJECT, ctypes.c_int], ctypes.c_void_p)
# The interpreter's item protocol, which calls a class's sequence item slot.
sequence_item = c_function("PySequence_GetItem", [OBJECT, ctypes.c_ssize_t], OBJECT)
is_sequence = c_function("PySequence_Check", [OBJECT], ctypes.c_int)


def slot(cls, number, prototype):
    """The function in slot `number` of `cls`, callable as `prototype`."""
    return prototype(_get_slot(cls, number))


def _table_entry(cls, number, structure, name):
    table = ctypes.cast(_get_slot(cls, number), ctypes.POINTER(structure))
    index = 0
    while table[index].name is not None:
        if table[index].name == name.encode():
            return table[index]
        index += 1
    raise AssertionError(f"{name!r} is not in the table")


def method(cls, name):
    """The native function of method `name`, called as `call(receiver, *args)`."""
    entry = _table_entry(cls, TP_METHODS, _MethodDef, name)
    assert entry.flags == METH_FASTCALL_KEYWORDS
    function = _FASTCALL_KEYWORDS(entry.meth)

    def call(receiver, *args):
        array = (OBJECT * max(len(args), 1))(*args)
        return function(receiver, ctypes.cast(array, ctypes.c_void_p), len(args), None)

    return call


def getter(cls, name):
    """The native getter of the read-only property `name`, called as `get(receiver)`."""
    entry = _table_entry(cls, TP_GETSET, _GetSetDef, name)
    assert entry.set is None
    function = _GETTER(entry.get)
    return lambda receiver: function(receiver, None)
