# Lintian's view of Veldane's packages and of every language pack that
# make-pack.sh makes (lintian --include-dir packaging/lintian --profile veldane;
# installed with halvern as /opt/veldane/lintian): Debian's, less the tags that
# object to the places these packages must use. Halvern is a third-party add-on, which the FHS puts
# in /opt/<provider> (/opt/veldane); the language pack's payload must lie under
# the fixed pack link path in /Library, because its preinst links that path
# into the viewer bundle and dpkg writes the payload through the link.
Profile: veldane/main
Extends: debian/main
Disable-Tags:
 dir-or-file-in-opt
 file-in-unusual-dir
 non-standard-toplevel-dir
