"""Device classes and their shared building blocks."""
