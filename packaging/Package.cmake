# `cmake --build BUILD --target package` makes a Debian package of what
# `cmake --install` lays out, under /usr. Its version is the project's, as
# `beamwright --version` prints it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME beamwright)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Beamwright developers")
set(CPACK_PACKAGE_CONTACT "Beamwright maintainers <maintainers@beamwright.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video cue playback for theatre and live events")
# The summary above is the description's first line; CPack indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Beamwright plays the video of a live show as a list of numbered cues. Each
cue says what every video output shows (a movie, a still image with an
optional pan and zoom, black, transparent or an alignment grid) and how long
the crossfade into it lasts. GO, from the window, OSC, UDP commands or
standard input, crossfades every output frame-exact at the display refresh.

The outputs fill screens of their own and are published through PipeWire for
other video software. The package holds the show window, the headless player
(with a systemd user unit), the show check and beamwright-tap, which saves a
frame of a published output.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link come from dpkg-shlibdeps. What they load or
# run by name does not show there: the EGL driver (llvmpipe without a GPU),
# Qt's platform plugins, GStreamer's elements for movies, and the PipeWire and
# GStreamer programs beamwright-tap runs. Movies play their sound through a
# PulseAudio server: PipeWire's, with its session manager to route it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libegl-mesa0, libgl1-mesa-dri, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, shared-mime-info, pipewire-bin, gstreamer1.0-pipewire, gstreamer1.0-tools")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, pipewire-pulse, wireplumber, gstreamer1.0-libav, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, webp-pixbuf-loader, heif-gdk-pixbuf, libavif-gdk-pixbuf, qt6-wayland")
set(CPACK_STRIP_FILES ON)
# Staged under DESTDIR with the real prefix, so that what the install step
# writes with the prefix in it (the systemd unit's ExecStart) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
