// placeholder, filled by its component's work
