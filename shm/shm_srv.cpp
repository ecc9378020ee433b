// placeholder: filled in by the layer that owns this file
