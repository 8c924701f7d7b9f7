"""Signed images: an allowed_signers file says whose images a lab accepts, and
an image it does not vouch for is refused before any device is touched."""

import io
import json
import os
import subprocess

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.driver import images

from .platforms import needs_ssh_keygen
from .test_rollout import label, states, write_plan

pytestmark = needs_ssh_keygen

IMAGE = os.urandom(5000)


def keygen(*args, **kwargs):
    return subprocess.run(["ssh-keygen", "-q", *args], check=True, capture_output=True, **kwargs)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """Two keys, made now: alice's is allowed, mallory's is not; and the files
    that allow alice (always, or until 2020)."""
    folder = tmp_path_factory.mktemp("keys")
    for name in ("alice", "mallory", "bob", "ca"):
        keygen("-t", "ed25519", "-N", "", "-C", name, "-f", str(folder / name))
    keygen("-s", str(folder / "ca"), "-I", "bob", "-n", "bob@lab", "-V", "-1d:+1d", str(folder / "bob.pub"))

    def public(name):
        return " ".join((folder / (name + ".pub")).read_text().split()[:2])

    (folder / "allowed").write_text('alice@lab namespaces="ondrel-fpga" %s\n*@lab cert-authority,namespaces="%s" %s\n'
                                    % (public("alice"), "ondrel-fpga", public("ca")))
    (folder / "expired").write_text('alice@lab namespaces="ondrel-fpga",valid-before="20200101" %s\n'
                                    % public("alice"))
    return folder


def ssh_sign(keys, path, key="alice", namespace="ondrel-fpga"):
    keygen("-Y", "sign", "-n", namespace, "-f", str(keys / key), str(path))


def run(argv, capsys):
    out = io.StringIO()
    code = cli.main(argv, out=out)
    return code, out.getvalue(), capsys.readouterr().err


def _unsigned(keys, path):
    pass


def _unknown_key(keys, path):
    ssh_sign(keys, path, key="mallory")


def _tampered(keys, path):
    ssh_sign(keys, path)
    path.write_bytes(IMAGE[:-1] + b"x")


def _other_namespace(keys, path):
    ssh_sign(keys, path, namespace="file")


def _other_file(keys, path):
    other = path.parent / "other.bin"
    other.write_bytes(IMAGE[1:])
    ssh_sign(keys, other)
    os.replace(str(other) + ".sig", str(path) + ".sig")


def _not_a_signature(keys, path):
    (path.parent / (path.name + ".sig")).write_text("-----BEGIN SSH SIGNATURE-----\nAAAA\n")


@pytest.mark.parametrize("make,allowed,reason", [
    (_unsigned, "allowed", "no signature: fw.bin.sig is missing"),
    (_unknown_key, "allowed", "signed by a key that"),
    (_tampered, "allowed", "fw.bin.sig does not match the image"),
    (_other_namespace, "allowed", "fw.bin.sig was made for another use than 'ondrel-fpga'"),
    (_other_file, "allowed", "fw.bin.sig does not match the image"),
    (_not_a_signature, "allowed", "fw.bin.sig is not an SSH signature"),
    (ssh_sign, "expired", "key has expired"),
    (ssh_sign, None, "a signature is required, and no allowed signers are given"),
])
def test_an_image_not_vouched_for_is_refused_before_any_device_is_touched(simulator, keys, tmp_path, capsys,
                                                                          monkeypatch, make, allowed, reason):
    monkeypatch.delenv("ONDREL_FPGA_ALLOWED_SIGNERS", raising=False)
    sim, path = simulator(), tmp_path / "fw.bin"
    path.write_bytes(IMAGE)
    make(keys, path)
    trust = ["--allowed-signers", str(keys / allowed)] if allowed else ["--require-signature"]
    code, _, err = run(["update", str(path), "--address", label(sim), *trust], capsys)
    assert code == 1 and sim.state.commands == []
    assert reason in err.strip().splitlines()[-1]


@pytest.mark.parametrize("signer", ["alice", "bob-cert"])  # a key of its own, or one the lab's authority certified
def test_a_signed_image_is_updated_and_its_signer_said(simulator, keys, tmp_path, capsys, monkeypatch, signer):
    monkeypatch.setenv("ONDREL_FPGA_ALLOWED_SIGNERS", str(keys / "allowed"))  # a lab PC's setting
    sim, path = simulator(), tmp_path / "fw.tbin"
    path.write_bytes(tbin.seal(IMAGE, 32))
    fingerprint = keygen("-l", "-f", str(keys / (signer + ".pub"))).stdout.split()[1].decode()
    if signer == "alice":
        code, out, _ = run(["sign", str(path), "--key", str(keys / "alice")], capsys)
        assert code == 0 and fingerprint in out
    else:
        ssh_sign(keys, path, key="bob-cert.pub")
    code, out, err = run(["update", str(path), "--address", label(sim), "--json"], capsys)
    assert code == 0 and sim.state.image() == IMAGE
    principal, kind = ("alice@lab", "ED25519") if signer == "alice" else ("bob@lab", "ED25519-CERT")
    assert json.loads(out)["signer"] == {"principal": principal, "key": "%s key %s" % (kind, fingerprint)}
    assert "is signed by %s" % principal in err


def test_the_signature_is_checked_over_the_bytes_programmed(keys, tmp_path, monkeypatch):
    # A hostile image beside the signature of a released one, swapped for the
    # released one right after the checks read it: verifying the user's path
    # again would pass while every device got the hostile bytes.
    released, path = tmp_path / "released.bin", tmp_path / "fw.bin"
    released.write_bytes(IMAGE)
    ssh_sign(keys, released)
    path.write_bytes(IMAGE[::-1])
    os.replace(str(released) + ".sig", str(path) + ".sig")
    keep = images.Image.keep

    def swapped_then_kept(image):
        path.write_bytes(IMAGE)
        return keep(image)

    monkeypatch.setattr(images.Image, "keep", swapped_then_kept)
    with pytest.raises(images.ImageRefused, match="does not match the image"):
        images.check_image(str(path), images.signatures.Trust(str(keys / "allowed")))


def test_a_plan_with_one_unsigned_group_touches_no_device(simulator, keys, tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("ONDREL_FPGA_ALLOWED_SIGNERS", raising=False)
    sims = [simulator(), simulator()]
    for name in ("signed", "unsigned"):
        (tmp_path / ("%s.tbin" % name)).write_bytes(tbin.seal(IMAGE, 32, header={"FPGA_VERSION": "0.2.4.0"}))
    ssh_sign(keys, tmp_path / "signed.tbin")
    os.replace(str(keys / "allowed"), str(tmp_path / "allowed"))  # named relative to the plan
    try:
        plan = write_plan(tmp_path, [(32, "signed.tbin", [label(sims[0])]), (32, "unsigned.tbin", [label(sims[1])])],
                          allowed_signers="allowed")
        code, _, err = run(["rollout", plan], capsys)
        assert code == 1 and [sim.state.commands for sim in sims] == [[], []]
        assert "plan refused, no device touched" in err and "unsigned.tbin.sig is missing" in err
        ssh_sign(keys, tmp_path / "unsigned.tbin")
        assert run(["rollout", plan], capsys)[0] == 0
    finally:
        os.replace(str(tmp_path / "allowed"), str(keys / "allowed"))
    record = str(tmp_path / "lab.record.jsonl")
    assert set(states(record).values()) == {("verified", "ok")}
    with open(record) as f:
        assert [json.loads(line)["signer"]["principal"] for line in f] == ["alice@lab", "alice@lab"]


@pytest.mark.parametrize("program,reason", [
    (None, "needs OpenSSH's ssh-keygen (8.2 or later), which is not installed here"),
    ("echo 'usage: ssh-keygen [-q] [-b bits]' >&2; exit 1", "this ssh-keygen cannot check signatures"),
])
def test_without_a_recent_ssh_keygen_a_signature_asked_for_is_refused(keys, tmp_path, capsys, monkeypatch,
                                                                      program, reason):
    path, bin_folder = tmp_path / "fw.bin", tmp_path / "bin"
    path.write_bytes(IMAGE)
    ssh_sign(keys, path)
    bin_folder.mkdir()
    if program:
        (bin_folder / "ssh-keygen").write_text("#!/bin/sh\n%s\n" % program)
        (bin_folder / "ssh-keygen").chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_folder))
    code, _, err = run(["check", str(path), "--allowed-signers", str(keys / "allowed")], capsys)
    assert code == 1 and reason in err
    assert run(["check", str(path)], capsys)[0] == 0  # nothing asked for, nothing needed
