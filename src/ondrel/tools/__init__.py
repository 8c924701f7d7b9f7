"""Tools around the device modules: the device simulator and the image
container helpers."""
