"""Applications built on the package: the command line (:mod:`.cli`), the demo dipole
(:mod:`.dipole`, pictures and files in :mod:`.output`) and TEAM problem 20
(:mod:`.team20`)."""
