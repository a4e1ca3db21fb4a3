# The package lives in src/, so the repository root never shadows the installed package
# (with its compiled modules); the tests import what `make build` installed.
