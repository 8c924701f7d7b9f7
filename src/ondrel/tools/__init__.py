"""Tools around the device modules: the ondrel-fpga command line (cli,
console, jobs), windowed transfers (windowed), the wire format (wire), the
device simulator (devsim) and the image container helpers (tbin)."""
