"""The driverdeploy authoring kit: add the library to an installer package, check it, show its plan."""
