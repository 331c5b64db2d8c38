function build_quarnel(folder)
%BUILD_QUARNEL Build the Quarnel module with this host's own compiler command.
%   BUILD_QUARNEL, run in GNU Octave or MATLAB from the folder that holds this file, compiles
%   Quarnel from the sources beside it into build/host/ and puts the help text Quarnel.m and the
%   tab completion resources/functionSignatures.json beside the module. Octave builds it with
%   mkoctfile --mex, MATLAB with mex in the 64-bit dimension interface with separate complex data
%   (-R2017b). In the folder of the MATLAB zip, which holds the help text and the other
%   platforms' modules beside this file, it compiles the module into that folder, beside them.
%
%   BUILD_QUARNEL(FOLDER) builds into FOLDER instead.
%
%   It prints where the module went and the addpath line that makes Quarnel callable.
%
%   It needs a C++17 compiler; in MATLAB, the one chosen with "mex -setup C++". The MATLAB branch
%   has not been run by Quarnel's developers, who have no MATLAB.

  here = fileparts(mfilename('fullpath'));
  if nargin < 1
    % In the zip's folder, its Quarnel.m, which holds only the help text, would be found instead
    % of a module in build/host/ whenever that folder is the current one or ahead on the path.
    if exist(fullfile(here, 'Quarnel.m'), 'file')
      folder = here;
    else
      folder = fullfile(here, 'build', 'host');
    end
  end
  if ~exist(folder, 'dir')
    mkdir(folder);
  end
  folder = absolutePath(folder);
  reduce = fullfile(here, 'reduce');
  sources = {fullfile(here, 'gateway', 'mexFunction.cpp'), fullfile(reduce, 'reduce_pair.cpp'), fullfile(reduce, 'resample.cpp')};

  if exist('OCTAVE_VERSION', 'builtin')
    module = fullfile(folder, 'Quarnel.mex');
    flags = getenv('CXXFLAGS');
    setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' -std=c++17']);
    restoreFlags = onCleanup(@() setenv('CXXFLAGS', flags));
    % On Linux the module exports only what the host looks up (gateway/exports.map): nothing of
    % its own is offered to the host or to the other modules the host loads.
    exportsOnly = {};
    if isunix() && ~ismac()
      exportsOnly = {['-Wl,--version-script=' fullfile(here, 'gateway', 'exports.map')]};
    end
    mkoctfile('--mex', ['-I' reduce], exportsOnly{:}, '-o', module, sources{:});
  else
    mex('-R2017b', '-output', 'Quarnel', '-outdir', folder, cxx17Flag(), ['-I' reduce], sources{:});
    module = fullfile(folder, ['Quarnel.' mexext]);
  end
  copyfile(fullfile(here, 'gateway', 'Quarnel.m'), folder);
  % MATLAB's tab completion reads the signatures from resources/ beside the module.
  resources = fullfile(folder, 'resources');
  if ~exist(resources, 'dir')
    mkdir(resources);
  end
  copyfile(fullfile(here, 'gateway', 'resources', 'functionSignatures.json'), resources);

  fprintf('Built %s\n', module);
  fprintf('To call Quarnel, put its folder on the path:\n  addpath(''%s'')\n', folder);
end

function absolute = absolutePath(folder)
  previous = cd(folder);
  absolute = pwd;
  cd(previous);
end

% The compiler option for C++17, in the form of the compiler MATLAB's mex is set up with.
function flag = cxx17Flag()
  flag = 'CXXFLAGS=$CXXFLAGS -std=c++17';
  if ispc
    compiler = mex.getCompilerConfigurations('C++', 'Selected');
    if ~isempty(compiler) && ~isempty(strfind(compiler.ShortName, 'MSVC'))
      flag = 'COMPFLAGS=$COMPFLAGS /std:c++17';
    end
  end
end
