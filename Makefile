# The two commands of the README:
#   make demo   an FPGA update against the built-in device simulator
#   make test   every test, on the default Python 3 and on Python 3.8
PYTHON ?= python3

.PHONY: demo test venv clean

venv:
	scripts/venv "$(PYTHON)" .venv/default

demo: venv
	.venv/default/bin/ondrel-fpga demo

test:
	scripts/run-tests

clean:
	rm -rf build .venv
