"""Plain-Python twin of the ferrovane.sdk accounts client, used only as the benchmark's baseline."""
