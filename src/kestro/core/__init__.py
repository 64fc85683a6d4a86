"""The core of kestro: data objects and their storage variants."""
