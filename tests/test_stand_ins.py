"""The sibling modules the extensions import."""

import re

import pytest

from ondrel import QarPublic, QarUtils
from ondrel.QarUtils import VER, RetCode, RetType


def test_retcode_is_shared():
    assert QarUtils.RetCode is QarPublic.RetCode
    assert {m.name for m in RetCode} >= {"OK", "ERROR", "WARNING"}


@pytest.mark.parametrize(
    "args,kwargs,fields",
    [
        ((), {}, (RetCode.OK, "", None)),
        ((), {"data": {"a": 1}}, (RetCode.OK, "", {"a": 1})),
        ((RetCode.ERROR, "bad"), {}, (RetCode.ERROR, "bad", None)),
        ((RetCode.OK, "fine", [1]), {}, (RetCode.OK, "fine", [1])),
    ],
)
def test_rettype_forms(args, kwargs, fields):
    ret = RetType(*args, **kwargs)
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == fields
    assert "RetType(" in repr(ret) and repr(fields[1]) in repr(ret)


@pytest.mark.parametrize(
    "low,high",
    [("0.9.0.0", "0.10.0.0"), ("0.2.3.3", "0.2.3.4"), ("0.1.0.6", "1.0.0.0"), ("1.2", "1.2.0.1")],
)
def test_versions_order_numerically(low, high):
    assert VER(low) < VER(high) and not VER(high) < VER(low)
    assert str(VER(low)) == low


def test_versions_equal_when_numerically_equal():
    assert VER("0.1.0.6") == VER("0.1.0.6") and not VER("0.1.0.6") < VER("0.1.0.6")
    assert VER("1.2") == VER("1.2.0.0") and hash(VER("1.2")) == hash(VER("1.2.0.0"))


@pytest.mark.parametrize("text", ["", "1..2", "v1.2", "1.2.", " 1.2", "1.2\r\n", "a"])
def test_bad_version_text_names_the_text(text):
    with pytest.raises(ValueError, match=re.escape("invalid version text: %r" % (text,))):
        VER(text)


def test_version_needs_text():
    with pytest.raises(TypeError):
        VER(None)


def test_enumerations():
    assert QarPublic.FBSMode.FULL_GAIN_PHASE in QarPublic.FBSMode
    assert isinstance(QarPublic.FBSMode.FULL_GAIN_PHASE, int)
    assert QarUtils._RspType.RSP_LIST is not QarUtils._RspType.RSP_STRING
