# The two commands of the README:
#   make demo   an FPGA update against the built-in device simulator
#   make test   every test, on every Python we support, under the sanitizers, and on
#               the aarch64 and Windows wheels under emulation (qemu-user, wine)
# and for lab PCs without a compiler:
#   make wheel  portable wheels in wheelhouse/ (manylinux_2_17 x86-64, one per Python;
#               cp311 for manylinux_2_17 aarch64 and for win_amd64)
PYTHON ?= python3

.PHONY: demo test venv wheel fuzz fuzz-coverage clean

venv:
	scripts/venv "$(PYTHON)" .venv/default

demo:
	scripts/demo

test:
	scripts/run-tests

wheel:
	scripts/build-wheels

# Coverage-guided fuzzing of the native code, FUZZ_SECONDS per harness (needs clang).
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz $(FUZZ_SECONDS)

# The lines of the checks and the programming that the fuzzing corpus reaches (needs clang and llvm).
fuzz-coverage:
	scripts/fuzz-coverage

clean:
	rm -rf build .venv wheelhouse
