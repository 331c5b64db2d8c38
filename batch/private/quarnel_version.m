function version = quarnel_version()
  % The release these helpers belong to, as the results they write record it; the build checks
  % that it is the project's version.
  version = '1.3.0';
end
