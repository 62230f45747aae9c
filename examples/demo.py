"""The main job on the bundled example."""

import orvelle

orvelle.version()
print("The analysis pipeline is not built yet in this version; nothing to compute.")
