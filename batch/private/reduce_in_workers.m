function [ok, message] = reduce_in_workers(rawPaths, matPaths, workers)
  % Octave's reduce_folder with WORKERS at a time: each volume is reduced by reduce_volume in an
  % octave-cli of its own, so that a worker that ends before it is done, killed or out of memory,
  % costs only its volume. Its temporary file, named after its process, is then removed. The paths
  % go to a worker in a file, byte for byte, and OK and MESSAGE come back in another.
  count = numel(rawPaths);
  ok = false(count, 1);
  message = cell(count, 1);
  jobs = tempname();
  mkdir(jobs);
  running = zeros(0, 2);  % process, volume
  octave = workerOctave();
  unwind_protect
    next = 1;
    while next <= count || ~isempty(running)
      while next <= count && rows(running) < workers
        job = fullfile(jobs, sprintf('%d', next));
        writeBytes([job '.paths'], [rawPaths{next} char(0) matPaths{next}]);
        command = [octave ' --eval ' shellWord(workerCode(job)) ' </dev/null >/dev/null 2>&1'];
        running(end + 1, :) = [system(command, false, 'async'), next];
        next = next + 1;
      end
      ended = false;
      for r = rows(running):-1:1
        [process, volume] = deal(running(r, 1), running(r, 2));
        [gone, status] = waitpid(process, WNOHANG);
        if gone == process
          ended = true;
          running(r, :) = [];
          [ok(volume), message{volume}] = workerResult(fullfile(jobs, sprintf('%d', volume)), status);
          if ~ok(volume)
            removeTemporaries(fileparts(matPaths{volume}), process);
          end
        end
      end
      if ~ended
        pause(0.05);
      end
    end
  unwind_protect_cleanup
    % When reduce_folder itself ends early (an interrupt, an error), its workers end with it.
    for r = 1:rows(running)
      kill(running(r, 1), 15);
      waitpid(running(r, 1));
      removeTemporaries(fileparts(matPaths{running(r, 2)}), running(r, 1));
    end
    confirm_recursive_rmdir(false, 'local');
    rmdir(jobs, 's');
  end_unwind_protect
end

% The start of the shell command that runs a worker: octave-cli with this session's Quarnel and
% helpers on its path. exec makes the worker the very process that system starts.
function command = workerOctave()
  octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
  if ~isfile(octave)
    octave = 'octave-cli';
  end
  helpers = fileparts(fileparts(mfilename('fullpath')));
  command = ['exec ' shellWord(octave) ' --norc --no-history --no-window-system --quiet' ...
             ' --path ' shellWord(fileparts(which('Quarnel'))) ' --path ' shellWord(helpers)];
end

% What the worker for JOB runs: reduce_volume on the job's paths, its outcome into the job's result.
function code = workerCode(job)
  code = sprintf(['job = ''%s''; paths = fileread([job ''.paths'']); cut = find(paths == 0, 1);' ...
                  'try, [ok, message] = reduce_volume(paths(1:cut - 1), paths(cut + 1:end));' ...
                  'catch failure, ok = false; message = failure.message; end;' ...
                  'fid = fopen([job ''.result''], ''w''); fwrite(fid, [char(''0'' + ok) message]); fclose(fid);'], ...
                 strrep(job, '''', ''''''));
end

function [ok, message] = workerResult(job, status)
  ok = false;
  message = 'the worker reducing it ended';
  if WIFEXITED(status) && isfile([job '.result'])
    result = fileread([job '.result']);
    if ~isempty(result)
      ok = result(1) == '1';
      message = '';
      if numel(result) > 1
        message = result(2:end);
      end
    end
  end
end

% reduce_volume's temporaries carry the process that writes them: those of a worker that ended.
function removeTemporaries(folder, process)
  prefix = sprintf('.reduce_volume-%d-', process);
  names = readdir(folder);
  for k = 1:numel(names)
    if strncmp(names{k}, prefix, numel(prefix))
      [~, ~] = unlink(path_in(folder, names{k}));
    end
  end
end

function writeBytes(path, text)
  fid = fopen(path, 'w');
  fwrite(fid, text);
  fclose(fid);
end

% TEXT as one word of the shell, quoted.
function word = shellWord(text)
  word = ['''' strrep(text, '''', '''\''''') ''''];
end
