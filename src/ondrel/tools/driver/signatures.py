"""Who released an image: OpenSSH signatures (``ssh-keygen -Y sign``, the
namespace "ondrel-fpga", an ``allowed_signers`` file), checked by the
system's own ``ssh-keygen`` before any device is touched.

The signature is IMAGE.sig beside the image, read when the image is checked;
it is verified over the snapshot of the checked bytes, the very bytes every
device is programmed from, never over the user's file a second time.  No
signature format or cryptography of our own: ``ssh-keygen`` is the format's
reference implementation, with its allowed_signers options (valid-after,
valid-before, namespaces, certificate authorities).  It needs ``-Y
find-principals``: OpenSSH 8.2 or later; without it, a signature cannot be
checked and an image is refused when one is asked for.
"""

import os
import re
import shutil
import subprocess

__all__ = ["NAMESPACE", "ENV_ALLOWED_SIGNERS", "Trust", "Signer", "SignatureRefused", "verify", "sign",
           "fingerprint"]

NAMESPACE = "ondrel-fpga"
ENV_ALLOWED_SIGNERS = "ONDREL_FPGA_ALLOWED_SIGNERS"
_TIMEOUT = 60


class SignatureRefused(Exception):
    """An image whose signature does not say it was released by a trusted key."""


class Trust:
    """Which signers an image must come from: an allowed_signers file, or
    none; `required`: an image is refused without one (and a missing file is
    itself a refusal)."""

    def __init__(self, allowed_signers=None, required=False):
        self.allowed_signers = allowed_signers
        self.required = required

    @property
    def asked(self):
        return bool(self.allowed_signers) or self.required

    def __repr__(self):
        return "Trust(%r, required=%r)" % (self.allowed_signers, self.required)


class Signer:
    """Who signed an image: the principal the allowed signers name it by, and
    its key ("ED25519 key SHA256:...")."""

    def __init__(self, principal, key):
        self.principal = principal
        self.key = key

    def as_json(self):
        return {"principal": self.principal, "key": self.key}

    def __str__(self):
        return "%s (%s)" % (self.principal, self.key)


def _keygen():
    program = shutil.which("ssh-keygen")
    if program is None:
        raise SignatureRefused("checking signatures needs OpenSSH's ssh-keygen (8.2 or later), which is not "
                               "installed here")
    return program


def _run(arguments, data_path=None):
    stdin = open(data_path, "rb") if data_path else subprocess.DEVNULL
    try:
        done = subprocess.run([_keygen()] + arguments, stdin=stdin, capture_output=True, timeout=_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise SignatureRefused("ssh-keygen did not answer within %d s" % _TIMEOUT) from None
    finally:
        if data_path:
            stdin.close()
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def verify(data_path, signature, image_name, trust, folder):
    """The Signer of the bytes at `data_path` (the snapshot) by `signature`
    (the bytes of IMAGE.sig, or None when there is none), or
    SignatureRefused saying which check failed.  `folder`: a private folder
    for the signature's file."""
    sig_name = image_name + ".sig"
    allowed = trust.allowed_signers
    if not allowed:
        raise SignatureRefused("a signature is required, and no allowed signers are given (--allowed-signers, "
                               "the plan's allowed_signers or $%s)" % ENV_ALLOWED_SIGNERS)
    if not os.path.isfile(allowed):
        raise SignatureRefused("the allowed signers file %s is not there" % allowed)
    if signature is None:
        raise SignatureRefused("no signature: %s is missing (sign it: ssh-keygen -Y sign -n %s -f KEY %s)"
                               % (sig_name, NAMESPACE, image_name))
    sig_path = os.path.join(folder, "image.sig")
    with open(sig_path, "wb") as f:
        f.write(signature)
    code, out, err = _run(["-Y", "check-novalidate", "-n", NAMESPACE, "-s", sig_path], data_path)
    if code != 0:
        _refuse_if_too_old(err)
        if "namespace does not match" in err:
            raise SignatureRefused("%s was made for another use than %r (its namespace)" % (sig_name, NAMESPACE))
        if "incorrect signature" in err:
            raise SignatureRefused("%s does not match the image: the image was changed after it was signed, or "
                                   "the signature is another file's" % sig_name)
        raise SignatureRefused("%s is not an SSH signature (%s)" % (sig_name, _last_line(err)))
    key = _key_of(out + err)
    code, out, err = _run(["-Y", "find-principals", "-s", sig_path, "-f", allowed])
    principals = out.split()
    if code != 0 or not principals:
        if "expired" in err or "not yet valid" in err:
            raise SignatureRefused("signed by a key whose time in %s is over or not yet come (%s): %s"
                                   % (allowed, key, _last_line(err.replace("No principal matched.", ""))))
        _refuse_if_too_old(err)
        raise SignatureRefused("signed by a key that %s does not allow (%s)" % (allowed, key))
    failures = []
    for principal in principals:
        code, out, err = _run(["-Y", "verify", "-f", allowed, "-I", principal, "-n", NAMESPACE, "-s", sig_path],
                              data_path)
        if code == 0:
            return Signer(principal, key)
        failures.append(_last_line(err))
    raise SignatureRefused("%s signed it, but the allowed signers do not accept it here: %s"
                           % (", ".join(principals), "; ".join(failures)))


def _refuse_if_too_old(err):
    """An ssh-keygen without the -Y operations we use says so in one of these ways."""
    if any(text in err for text in ("unknown option", "illegal option", "usage:", "Unsupported operation")):
        raise SignatureRefused("this ssh-keygen cannot check signatures (OpenSSH 8.2 or later is needed): %s"
                               % _last_line(err))


def _key_of(out):
    match = re.search(r"with (\S+) key (\S+)", out)
    return "%s key %s" % (match.group(1), match.group(2)) if match else "an unknown key"


def _last_line(text):
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[-1] if lines else "no reason given"


def fingerprint(key_path):
    """"ED25519 key SHA256:..." of a key (its public half is read)."""
    code, out, err = _run(["-l", "-f", key_path])
    if code != 0:
        raise SignatureRefused("%s is not a key ssh-keygen can read: %s" % (key_path, _last_line(err)))
    fields = out.split()
    kind = fields[-1].strip("()") if fields else "?"
    return "%s key %s" % (kind, fields[1] if len(fields) > 1 else "?")


def sign(image_path, key_path):
    """Signs the image as ``ssh-keygen -Y sign -n ondrel-fpga -f KEY IMAGE``
    does (it writes IMAGE.sig); the key's fingerprint.  A passphrase is
    asked for by ssh-keygen, on the terminal (or read from standard input)."""
    key = fingerprint(key_path)
    done = subprocess.run([_keygen(), "-Y", "sign", "-n", NAMESPACE, "-f", key_path, image_path],
                          capture_output=True, timeout=600)
    if done.returncode != 0:
        raise SignatureRefused("ssh-keygen could not sign %s: %s"
                               % (image_path, _last_line(done.stderr.decode("utf-8", "replace"))))
    return key
